#include "app/ErrorDisplay.h"

#include "app/Dialogs.h"
#include "conversion/Messages.h"

#include <exception>

namespace folioxa {

void ShowErrorMessage(Dialogs& dialogs, const std::string& message) {
    dialogs.ShowError(DisplayText(message));
}

void RunHandler(Dialogs& dialogs, const std::function<void()>& handler) noexcept {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowErrorMessage(dialogs, e.what());
    } catch (...) {
        ShowErrorMessage(dialogs, "Unexpected failure");
    }
}

} // namespace folioxa
