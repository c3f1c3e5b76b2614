#pragma once

#include <optional>
#include <string>

class QFileDialog;
class QWidget;

namespace folioxa {

// Every modal dialog the window shows and the shell hand-over, so that tests can answer them.
// Texts and paths are UTF-8; no method throws. Texts are shown as plain text, never as markup.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // The open-file dialog for one PDF file: the chosen path, or nothing on Cancel.
    virtual std::optional<std::string> OpenPdfFile() = 0;
    // An input box whose edit masks what is typed and takes at most 255 characters: the edit's
    // text on OK, `defaultText` on Cancel or when the box is closed.
    virtual std::string InputPassword(const std::string& title, const std::string& prompt,
                                      const std::string& defaultText) = 0;
    // The folder dialog starting at `startFolder` (nothing preselected when it names no folder):
    // the chosen folder without a trailing "/", or nothing on Cancel.
    virtual std::optional<std::string> BrowseFolder(const std::string& startFolder) = 0;
    // A message box with one OK button and no icon, titled with the application title.
    virtual void ShowNotice(const std::string& text) = 0;
    // A message box with the error icon, titled with the application title; `text` is shown as
    // given (ShowErrorMessage applies the period rule).
    virtual void ShowError(const std::string& text) = 0;
    // Hands `target` (a URL) to the desktop; the outcome is not reported.
    virtual void ShellOpen(const std::string& target, const std::string& parameters) = 0;
};

inline constexpr int kPasswordMaxLength = 255;
// The most characters a box shows of a text: file names, entry and failure texts come from
// outside, and no one needs ten thousand of them to act.
inline constexpr int kMaxShownCharacters = 1000;

// The dialogs as Qt shows them, modal over `owner` (not owned; it must outlive this object).
class QtDialogs : public Dialogs {
public:
    explicit QtDialogs(QWidget* owner);
    ~QtDialogs() override;
    QtDialogs(const QtDialogs&) = delete;
    QtDialogs& operator=(const QtDialogs&) = delete;

    std::optional<std::string> OpenPdfFile() override;
    std::string InputPassword(const std::string& title, const std::string& prompt,
                              const std::string& defaultText) override;
    std::optional<std::string> BrowseFolder(const std::string& startFolder) override;
    void ShowNotice(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void ShellOpen(const std::string& target, const std::string& parameters) override;

private:
    QWidget* FOwner;
    // Kept for the window's whole life, so it reopens in the folder last used.
    QFileDialog* FOpenDialogPDF;
};

} // namespace folioxa
