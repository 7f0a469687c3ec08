// Tabbed pages whose change the program may refuse. OnChanging comes before the user moves to
// another page (tab click, arrow keys on the tabs, Ctrl+Tab), while the page being left is still
// the active one; setting the page from the program asks nobody.
#pragma once

#include <QTabBar>
#include <QTabWidget>
#include <functional>

namespace toolkit::qt {

class PageControl final : public QTabWidget {
 public:
  explicit PageControl(QWidget* parent);

  int ActivePageIndex() const { return currentIndex(); }
  void SetActivePageIndex(int index) { setCurrentIndex(index); }

  // A change the user asked for: OnChanging may refuse it. Returns whether the page changed.
  bool RequestPage(int index);

  std::function<void(bool& allowChange)> OnChanging;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace toolkit::qt
