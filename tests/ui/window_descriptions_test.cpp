#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "ui/form1.h"
#include "ui/login.h"
#include "ui/set_password.h"

namespace varnholt::ui {
namespace {

class WindowDescriptionTest : public ::testing::TestWithParam<const WindowDescription*> {};

bool Overlap(const ControlDescription& a, const ControlDescription& b) {
    return a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
           b.top < a.top + a.height;
}

TEST_P(WindowDescriptionTest, ControlsLieInsideTheClientAreaWithoutOverlapping) {
    const WindowDescription& window = *GetParam();
    const auto& controls = window.controls;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const ControlDescription& control = controls[i];
        SCOPED_TRACE(std::string(control.name));
        EXPECT_GT(control.width, 0);
        EXPECT_GT(control.height, 0);
        EXPECT_GE(control.left, 0);
        EXPECT_GE(control.top, 0);
        EXPECT_LE(control.left + control.width, window.client_width);
        EXPECT_LE(control.top + control.height, window.client_height);
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            EXPECT_FALSE(Overlap(control, controls[j])) << "overlaps " << controls[j].name;
        }
    }
}

TEST_P(WindowDescriptionTest, NamesAreUniqueAndTabIndexesRunFromZeroWithoutGaps) {
    std::set<std::string_view> names;
    std::vector<int> tab_indexes;
    for (const ControlDescription& control : GetParam()->controls) {
        EXPECT_TRUE(names.insert(control.name).second) << control.name;
        if (control.tab_index != kNoTabStop) {
            tab_indexes.push_back(control.tab_index);
        } else {
            EXPECT_EQ(control.kind, ControlKind::kPictureBox) << control.name;
        }
    }
    std::sort(tab_indexes.begin(), tab_indexes.end());
    for (std::size_t i = 0; i < tab_indexes.size(); ++i) {
        EXPECT_EQ(tab_indexes[i], static_cast<int>(i));
    }
}

TEST_P(WindowDescriptionTest, OnlyPasswordBoxesMaskAndOnlyLoginHasADefaultButton) {
    const WindowDescription& window = *GetParam();
    for (const ControlDescription& control : window.controls) {
        SCOPED_TRACE(std::string(control.name));
        EXPECT_EQ(control.password_char, control.kind == ControlKind::kTextBox ? '*' : '\0');
        const bool login_button = window.name == "Login" && control.name == "Command1";
        EXPECT_EQ(control.default_button, login_button);
        if (control.kind == ControlKind::kTextBox || control.kind == ControlKind::kPictureBox) {
            EXPECT_EQ(control.caption, "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, WindowDescriptionTest,
                         ::testing::Values(&kForm1, &kLogin, &kSetPassword),
                         [](const auto& param_info) {
                             return std::string(param_info.param->name);
                         });

TEST(WindowDescriptionTest, RegeditToolTipEndsInABlankAfterUsb) {
    const ControlDescription& check = kForm1Controls[4];
    ASSERT_EQ(check.name, "Check1");
    EXPECT_EQ(check.tool_tip.size(), 69u);
    EXPECT_TRUE(check.tool_tip.ends_with("USB "));
}

}  // namespace
}  // namespace varnholt::ui
