#include "app/PageControl.h"

#include <QTabBar>

namespace folioxa {

namespace {

class FixedTabBar : public QTabBar {
public:
    using QTabBar::QTabBar;

protected:
    QSize tabSizeHint(int /*index*/) const override {
        return {TPageControl::kTabWidth, TPageControl::kTabHeight};
    }
};

} // namespace

TPageControl::TPageControl(QWidget* parent) : QTabWidget(parent) {
    // Set before the form adds its pages: a tab bar cannot be replaced once it holds tabs.
    setTabBar(new FixedTabBar(this));
}

} // namespace folioxa
