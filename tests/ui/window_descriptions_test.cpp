// What must hold of every window's layout, whatever toolkit draws it.
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

bool Overlap(const ControlDescription& a, const ControlDescription& b) {
    return a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
           b.top < a.top + a.height;
}

class WindowDescriptionTest : public ::testing::TestWithParam<const WindowDescription*> {};

// Inside the client area, apart from each other, each name once, tab indexes 0, 1, 2, ... with
// none but the picture left out; only password boxes mask, and only Login has a default button.
TEST_P(WindowDescriptionTest, ControlsAreLaidOutAndOrderedSoundly) {
    const WindowDescription& window = *GetParam();
    std::set<std::string_view> names;
    std::vector<int> tab_indexes;
    for (const ControlDescription& control : window.controls) {
        SCOPED_TRACE(std::string(control.name));
        EXPECT_TRUE(names.insert(control.name).second);
        EXPECT_TRUE(control.left >= 0 && control.top >= 0 && control.width > 0 &&
                    control.height > 0 && control.left + control.width <= window.client_width &&
                    control.top + control.height <= window.client_height);
        for (const ControlDescription& other : window.controls) {
            EXPECT_TRUE(&other == &control || !Overlap(control, other)) << other.name;
        }
        if (control.tab_index == kNoTabStop) {
            EXPECT_EQ(control.kind, ControlKind::kPictureBox);
        } else {
            tab_indexes.push_back(control.tab_index);
        }
        EXPECT_EQ(control.password_char, control.kind == ControlKind::kTextBox ? '*' : '\0');
        EXPECT_EQ(control.default_button, window.name == "Login" && control.name == "Command1");
    }
    std::sort(tab_indexes.begin(), tab_indexes.end());
    for (std::size_t i = 0; i < tab_indexes.size(); ++i) {
        EXPECT_EQ(tab_indexes[i], static_cast<int>(i));
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, WindowDescriptionTest,
                         ::testing::Values(&kForm1, &kLogin, &kSetPassword),
                         [](const auto& param) { return std::string(param.param->name); });

TEST(WindowDescriptionTest, RegeditToolTipEndsInABlankAfterUsb) {
    const ControlDescription& check = kForm1Controls[4];
    ASSERT_EQ(check.name, "Check1");
    EXPECT_EQ(check.tool_tip.size(), 69u);
    EXPECT_TRUE(check.tool_tip.ends_with("USB "));
}

}  // namespace
}  // namespace varnholt::ui
