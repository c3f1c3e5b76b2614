// Forms that branch millions of ways keep the engine in its form set-up for minutes. Choosing a
// document skips that set-up (only the page count is needed); the busy cursor is up whenever
// the engine works for the window, selection and conversion alike, and down whenever a dialog
// asks the user something.
#include "app/Main.h"
#include "app/ScriptedDialogs.h"
#include "pdf/PdfEngine.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <filesystem>
#include <string>
#include <vector>

namespace folioxa {
namespace {

using namespace folioxa::testing;

// What the engine and the dialogs saw, in order: "<event> busy" or "<event> idle".
std::vector<std::string>& Seen() {
    static std::vector<std::string> seen;
    return seen;
}

void Record(const std::string& event) {
    const QCursor* cursor = QApplication::overrideCursor();
    Seen().push_back(event +
                     (cursor != nullptr && cursor->shape() == Qt::WaitCursor ? " busy" : " idle"));
}

pdfium::PdfFunctions& Table() {
    return ProcessPdfLibrary().FunctionsForTesting();
}

// The engine's real entries, while a test wraps them.
pdfium::PdfFunctions gReal;

pdfium::FPDF_DOCUMENT LoadDocument(pdfium::FPDF_STRING path, pdfium::FPDF_BYTESTRING password) {
    Record("load");
    return gReal.FPDF_LoadDocument(path, password);
}

void SetHighlightColor(pdfium::FPDF_FORMHANDLE form, int fieldType, unsigned long color) {
    Record("form set-up"); // the call in which the engine builds the field tree
    gReal.FPDF_SetFormFieldHighlightColor(form, fieldType, color);
}

// The scripted dialogs, noting the cursor when the password prompt comes up.
class WatchingDialogs : public ScriptedDialogs {
public:
    std::string InputPassword(const std::string& title, const std::string& prompt,
                              const std::string& defaultText) override {
        Record("prompt");
        return ScriptedDialogs::InputPassword(title, prompt, defaultText);
    }
};

class BusyCursor : public ::testing::Test {
protected:
    BusyCursor() {
        LoadPdfLibrary();
        gReal = Table();
        Table().FPDF_LoadDocument = LoadDocument;
        Table().FPDF_SetFormFieldHighlightColor = SetHighlightColor;
        Seen().clear();
        FDialogs.OnMessage = [](const std::string& text) { Record("notice " + text); };
        FWindow.show();
    }
    ~BusyCursor() override { Table() = gReal; }

    std::string Pdf(const std::string& password) {
        TestPage page;
        page.TextFieldValue = "a form";
        const std::string path = FDir.File("form.pdf");
        WriteFile(path, MakePdf({page}));
        if (!password.empty()) {
            EncryptPdf(path, path + ".enc", password, "owner", "aes-256");
            std::filesystem::rename(path + ".enc", path);
        }
        return path;
    }

    void Select(const std::string& path, std::vector<std::string> passwords) {
        FDialogs.Files.emplace_back(path);
        FDialogs.Passwords.insert(FDialogs.Passwords.end(), passwords.begin(), passwords.end());
        FWindow.findChild<QPushButton*>("select_input_button")->click();
    }

    TempDir FDir;
    WatchingDialogs FDialogs;
    TFormTest FWindow{&FDialogs};
};

TEST_F(BusyCursor, IsUpWhileTheEngineOpensAChosenDocumentWithoutItsForms) {
    Select(Pdf(""), {});
    EXPECT_EQ(Seen(), (std::vector<std::string>{"load busy"}));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(FWindow.Pdf().FormFill()) << "the page workers draw the forms, not the window";
}

TEST_F(BusyCursor, IsUpFromTheStartOfARunAndDownForItsNotices) {
    Select(Pdf(""), {});
    Seen().clear();
    FWindow.findChild<QRadioButton*>("r_convert_method2")->setChecked(true);
    FWindow.findChild<QLineEdit*>("convert_method2_input1")->setText("1,3-2");
    FWindow.findChild<QPushButton*>("export_button")->click();
    WaitForRun(FWindow);
    // The window only opens the document; the page workers set its forms up.
    EXPECT_EQ(Seen(), (std::vector<std::string>{
                          "load busy",
                          "notice The following page range is invalid and was skipped: 3-2 idle",
                          "notice Conversion complete! idle"}));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(std::filesystem::exists(FDir.File("form_1.jpg")));
}

TEST_F(BusyCursor, IsDownForEveryMessageAndThePasswordPrompt) {
    // Refused, prompt, refused again: each attempt busy, each message idle.
    Select(Pdf("secret"), {"wrong"});
    const std::string refused = "notice Password required or incorrect password idle";
    EXPECT_EQ(Seen(), (std::vector<std::string>{"load busy", refused, "prompt idle", "load busy",
                                                refused}));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

} // namespace
} // namespace folioxa
