#pragma once

#include "conversion/Messages.h"

#include <string>

namespace folioxa {

// The window operations a conversion run needs. The run calls them on its own thread and
// expects none of them to throw.
class ConversionView {
public:
    virtual ~ConversionView() = default;
    // A modal notice with one OK button; returns once dismissed.
    virtual void ShowNotice(const std::string& text) = 0;
    virtual void SetBusy(bool on) = 0;
    virtual void SetProgressVisible(bool on) = 0;
    virtual void SetProgressMax(int max) = 0;
    // The new position must show at once: the run does not return to the event loop.
    virtual void SetProgressPosition(int position) = 0;
    // Select, then Convert.
    virtual void SetConvertControlsEnabled(bool on) = 0;
    // What the run has come to, told as such so that a view need not read its notices: by
    // default the window's notices, at the moment the window shows them.
    // The selection has no item: the run ends before anything is shown.
    virtual void ShowSelectionEmpty() { ShowNotice(kInvalidRangeNotice); }
    // Every entry's file is written and the run cleaned up.
    virtual void ShowCompleted() { ShowNotice(kCompleteNotice); }
};

} // namespace folioxa
