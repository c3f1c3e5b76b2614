#pragma once

#include <functional>
#include <string>

namespace folioxa {

class Dialogs;

// The application's error display: `message` after the period rule (DisplayText) in the error
// box of `dialogs`.
void ShowErrorMessage(Dialogs& dialogs, const std::string& message);

// Runs one event handler. Whatever it throws ends in ShowErrorMessage, since Qt carries no
// exception through its event loop; the window stays usable afterwards.
void RunHandler(Dialogs& dialogs, const std::function<void()>& handler) noexcept;

} // namespace folioxa
