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

// Inside the client area, apart from each other, each name once, tab indexes 0, 1, 2, ... with
// none but the picture left out.
TEST(WindowDescriptionTest, ControlsAreLaidOutAndOrderedSoundly) {
    for (const WindowDescription* window : {&kForm1, &kLogin, &kSetPassword}) {
        std::set<std::string_view> names;
        std::vector<int> tab_indexes;
        for (const ControlDescription& c : window->controls) {
            SCOPED_TRACE(std::string(window->name) + "." + std::string(c.name));
            EXPECT_TRUE(names.insert(c.name).second);
            EXPECT_TRUE(c.left >= 0 && c.top >= 0 && c.width > 0 && c.height > 0 &&
                        c.left + c.width <= window->client_width &&
                        c.top + c.height <= window->client_height);
            for (const ControlDescription& o : window->controls) {
                EXPECT_TRUE(&o == &c || c.left >= o.left + o.width || o.left >= c.left + c.width ||
                            c.top >= o.top + o.height || o.top >= c.top + c.height)
                    << o.name;
            }
            if (c.tab_index != kNoTabStop)
                tab_indexes.push_back(c.tab_index);
            else
                EXPECT_EQ(c.kind, ControlKind::kPictureBox);
        }
        std::sort(tab_indexes.begin(), tab_indexes.end());
        for (std::size_t i = 0; i < tab_indexes.size(); ++i)
            EXPECT_EQ(tab_indexes[i], static_cast<int>(i)) << window->name;
    }
}

}  // namespace
}  // namespace varnholt::ui
