#pragma once

#include "app/Dialogs.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace folioxa {
class TFormTest;
}

namespace folioxa::testing {

// Turns the event loop until the window's run has ended (at most a minute).
void WaitForRun(const TFormTest& window);

// Answers every dialog from a queue and records each call as one line:
// "open", "password <title>|<prompt>|<default>", "browse <start>", "notice <text>",
// "error <text>", "shell <target>|<parameters>". A dialog without a queued answer fails the test
// and is cancelled.
class ScriptedDialogs : public Dialogs {
public:
    std::deque<std::optional<std::string>> Files;   // nothing: Cancel
    std::deque<std::string> Passwords;              // what OK or Cancel returns
    std::deque<std::optional<std::string>> Folders; // nothing: Cancel
    std::vector<std::string> Calls;
    // Runs when a notice or an error is shown, to look at the window at that moment.
    std::function<void(const std::string&)> OnMessage;

    std::optional<std::string> OpenPdfFile() override;
    std::string InputPassword(const std::string& title, const std::string& prompt,
                              const std::string& defaultText) override;
    std::optional<std::string> BrowseFolder(const std::string& startFolder) override;
    void ShowNotice(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void ShellOpen(const std::string& target, const std::string& parameters) override;
};

} // namespace folioxa::testing
