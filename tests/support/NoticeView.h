#pragma once

#include "conversion/ConversionView.h"

#include <string>
#include <vector>

namespace folioxa::testing {

// A window that records the notices a run shows and ignores everything else.
class NoticeView : public ConversionView {
public:
    void ShowNotice(const std::string& text) override { Notices.push_back(text); }
    void SetBusy(bool) override {}
    void SetProgressVisible(bool) override {}
    void SetProgressMax(int) override {}
    void SetProgressPosition(int) override {}
    void SetConvertControlsEnabled(bool) override {}

    std::vector<std::string> Notices;
};

} // namespace folioxa::testing
