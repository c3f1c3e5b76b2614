// The busy cursor (the window's own, never the application's) is up whenever a page worker works
// for the window, selection and conversion alike, while the window keeps repainting; it is down
// whenever a dialog asks the user something. On the fake engine (app_tests_fake_engine), whose
// documents can keep a worker opening forever.
#include "app/Main.h"
#include "app/ScriptedDialogs.h"
#include "support/FakeEngine.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <filesystem>
#include <string>
#include <vector>

namespace folioxa {
namespace {

using namespace folioxa::testing;

// What the window showed, in order: "<event> busy" or "<event> idle".
std::vector<std::string>& Seen() {
    static std::vector<std::string> seen;
    return seen;
}

// The window under test.
QWidget* gWindow = nullptr;

void Record(const std::string& event) {
    Seen().push_back(event + (gWindow->cursor().shape() == Qt::BusyCursor ? " busy" : " idle"));
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
        Seen().clear();
        gWindow = &FWindow;
        FDialogs.OnMessage = [](const std::string& text) { Record("notice " + text); };
        FWindow.show();
    }

    std::string Pdf(const std::vector<std::string>& lines) {
        const std::string path = FDir.File("doc.pdf");
        WriteFile(path, FakePdf(lines));
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

TEST_F(BusyCursor, IsUpWhileAWorkerOpensAChosenDocumentAndTheWindowTurns) {
    // The worker never answers: the window's loop turns meanwhile, and the worker's end answers.
    const std::string path = Pdf({"hang-on-open"});
    QTimer::singleShot(0, [] {
        Record("waiting");
        for (const int child : Children()) {
            kill(child, SIGKILL);
        }
    });
    Select(path, {});
    EXPECT_EQ(Seen(),
              (std::vector<std::string>{
                  "waiting busy",
                  "notice The PDF engine stopped while opening the document (Killed) idle"}));
    EXPECT_NE(FWindow.cursor().shape(), Qt::BusyCursor);
    EXPECT_TRUE(Children().empty());
    EXPECT_FALSE(FWindow.Pdf().Active());
}

TEST_F(BusyCursor, IsDownForEveryMessageAndThePasswordPrompt) {
    Select(Pdf({"password secret"}), {"wrong"});
    const std::string refused = "notice Password required or incorrect password idle";
    EXPECT_EQ(Seen(), (std::vector<std::string>{refused, "prompt idle", refused}));
    EXPECT_NE(FWindow.cursor().shape(), Qt::BusyCursor);
}

TEST_F(BusyCursor, IsDownForTheNoticesOfARun) {
    Select(Pdf({"pages 3"}), {});
    FWindow.findChild<QRadioButton*>("r_convert_method2")->setChecked(true);
    FWindow.findChild<QLineEdit*>("convert_method2_input1")->setText("1,3-2");
    FWindow.findChild<QPushButton*>("export_button")->click();
    WaitForRun(FWindow);
    EXPECT_EQ(Seen(), (std::vector<std::string>{
                          "notice The following page range is invalid and was skipped: 3-2 idle",
                          "notice Conversion complete! idle"}));
    EXPECT_NE(FWindow.cursor().shape(), Qt::BusyCursor);
    EXPECT_TRUE(std::filesystem::exists(FDir.File("doc_1.jpg")));
}

} // namespace
} // namespace folioxa
