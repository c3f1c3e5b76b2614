#pragma once

#include <QTabWidget>

namespace folioxa {

// A tab control whose tabs all have one fixed size, whatever their texts.
class TPageControl : public QTabWidget {
public:
    explicit TPageControl(QWidget* parent = nullptr);
    static constexpr int kTabWidth = 100;
    static constexpr int kTabHeight = 40;
};

} // namespace folioxa
