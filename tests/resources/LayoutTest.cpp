#include <gtest/gtest.h>

#include <set>
#include <string>

#include "resources/TextCatalog.h"
#include "resources/WindowLayout.h"

namespace resources {
namespace {

TEST(LayoutTest, NamesAreUniqueParentsExistAndTextsAreInTheCatalogue) {
  const auto& layout = MainWindowLayout();
  std::set<std::string_view> names;
  std::set<std::string_view> pages;
  for (const auto& p : layout.pages)
    pages.insert(p.name);
  for (const auto& c : layout.controls) {
    EXPECT_TRUE(names.insert(c.name).second) << c.name;
    EXPECT_TRUE(c.parent.empty() || pages.count(c.parent) == 1) << c.name;
    if (c.textAtStart != kNoText) {
      EXPECT_NE(LoadText(c.textAtStart), "") << c.name;
    }
  }
  for (const auto& u : layout.upDowns) {
    const ControlLayout* upDown = FindControl(u.name);
    ASSERT_NE(upDown, nullptr);
    EXPECT_EQ(upDown->role, Role::UpDown);
    if (u.buddy.empty()) continue;
    const ControlLayout* buddy = FindControl(u.buddy);
    ASSERT_NE(buddy, nullptr);
    // An attached spin control stands at its edit's right edge.
    EXPECT_EQ(buddy->left + buddy->width, upDown->left) << u.name;
    EXPECT_EQ(buddy->top, upDown->top) << u.name;
  }
}

}  // namespace
}  // namespace resources
