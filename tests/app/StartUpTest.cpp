#include "app/StartUp.h"

#include "app/Dialogs.h"
#include "app/ErrorDisplay.h"
#include "app/Main.h"
#include "app/ScriptedDialogs.h"
#include "base/Error.h"
#include "support/FakeEngine.h"
#include "support/TestFiles.h"
#include "support/TestPdf.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace folioxa {
namespace {

TEST(StartUpTest, RemoveSwitchIsTrimmedAndCaseSensitive) {
    const struct {
        std::string Argument;
        bool Remove;
    } rows[] = {
        {"/remove", true},   {" /remove ", true},    {"\t\r\n/remove\x01\x1f", true},
        {"/REMOVE", false},  {"/Remove", false},     {"remove", false},
        {"/removed", false}, {"/remove x", false},   {"", false},
        {"   ", false},      {"\xa0/remove", false}, // a byte above 127 is no blank
    };
    for (const auto& row : rows) {
        EXPECT_EQ(IsRemoveSwitch(row.Argument), row.Remove) << "[" << row.Argument << "]";
    }
}

TEST(StartUpTest, AFileArgumentIsTakenAsAnAbsolutePath) {
    const std::string here = std::filesystem::current_path().string();
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {"", std::nullopt},
        {"/a/b/../c d.pdf", "/a/c d.pdf"},
        {"doc.pdf", here + "/doc.pdf"},
        {"./in/../doc.pdf", here + "/doc.pdf"},
    };
    for (const auto& [argument, path] : rows) {
        EXPECT_EQ(FileArgument(argument), path) << argument;
    }
}

// Starts `program` with `arguments`; `environment` entries override, a null value removes.
pid_t Start(const std::string& program, const std::vector<std::string>& arguments,
            const std::map<std::string, const char*>& environment) {
    std::vector<std::string> strings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (environment.count(text.substr(0, text.find('='))) == 0) {
            strings.push_back(text);
        }
    }
    for (const auto& [name, value] : environment) {
        if (value != nullptr) {
            strings.push_back(name + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (std::string& text : strings) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : all) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
    return pid;
}

// The wait status once the process has ended, or nothing while it still runs after `limit`.
std::optional<int> WaitFor(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// True once the process catches SIGTERM (its SigCgt mask in /proc), false when it ended first.
bool CatchesTerminate(pid_t pid) {
    for (int attempt = 0; attempt < 1500; ++attempt) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("SigCgt:", 0) == 0 &&
                (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1U) != 0) {
                return true;
            }
        }
        int ended = 0;
        if (waitpid(pid, &ended, WNOHANG) == pid) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The wait status of a process that should end by itself; one still running is killed.
std::optional<int> Ended(pid_t pid) {
    const std::optional<int> status = WaitFor(pid, std::chrono::seconds(30));
    if (!status) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return status;
}

bool ExitedWithZero(const std::optional<int>& status) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// Without any display a program that makes a window cannot start at all.
const std::map<std::string, const char*> kNoDisplay{
    {"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr}};
const std::map<std::string, const char*> kOffscreen{{"QT_QPA_PLATFORM", "offscreen"}};

TEST(StartUpTest, RemoveEndsBeforeAnyWindowExists) {
    for (const char* argument : {"/remove", " /remove ", "\t/remove\n"}) {
        const pid_t pid = Start(FOLIOXA_EXECUTABLE, {argument}, kNoDisplay);
        EXPECT_TRUE(ExitedWithZero(Ended(pid))) << argument;
    }
    // The other way round: the window's start-up does need a display, so the rows above show
    // that no window was made.
    const pid_t pid = Start(FOLIOXA_EXECUTABLE, {"/REMOVE"}, kNoDisplay);
    const std::optional<int> status = Ended(pid);
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(ExitedWithZero(status));
}

TEST(StartUpTest, OtherArgumentsStartTheWindowWhichClosesWithZero) {
    const std::vector<std::vector<std::string>> rows = {
        {}, {"/REMOVE"}, {"document.pdf", "/remove"}, {"/no/such/document.pdf"}};
    for (const auto& arguments : rows) {
        const std::string name = arguments.empty() ? "none" : arguments.front();
        const pid_t pid = Start(FOLIOXA_EXECUTABLE, arguments, kOffscreen);
        // Past the switch, and then still running with its window a while later.
        const bool started = CatchesTerminate(pid);
        const std::optional<int> early =
            started ? WaitFor(pid, std::chrono::milliseconds(1000)) : std::nullopt;
        if (!started || early) {
            ADD_FAILURE() << name << " did not stay up";
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            continue;
        }
        kill(pid, SIGTERM); // closes the window, as a desktop session does when it ends
        EXPECT_TRUE(ExitedWithZero(Ended(pid))) << name;
    }
}

// Also run by the next test, in a copy of this program, which reads the line it saw.
TEST(AboutLineTest, ShowsTheVersionOfTheRunningFile) {
    testing::ScriptedDialogs dialogs;
    TFormTest window(&dialogs);
    window.show();
    const std::string line = window.findChild<QLabel*>("label_app_name")->text().toStdString();
    if (const char* file = std::getenv("FOLIOXA_ABOUT_FILE")) {
        testing::WriteFile(file, line);
    } else {
        EXPECT_EQ(line, "Folioxa 2.0.1.2");
    }
}

TEST(AboutLineTest, ReadsZerosInAProgramWithoutTheVersion) {
    const testing::TempDir dir;
    const std::string copy = dir.File("app_tests");
    const std::string command = "objcopy --remove-section .folioxa_version /proc/" +
                                std::to_string(getpid()) + "/exe '" + copy + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string aboutFile = dir.File("about.txt");
    auto environment = kOffscreen;
    environment["FOLIOXA_ABOUT_FILE"] = aboutFile.c_str();
    const pid_t pid =
        Start(copy, {"--gtest_filter=AboutLineTest.ShowsTheVersionOfTheRunningFile"}, environment);
    EXPECT_TRUE(ExitedWithZero(Ended(pid)));
    EXPECT_EQ(testing::ReadFile(aboutFile), "Folioxa 0.0.0.0");
}

// The window's own dialogs, but the file chooser answers with a given file when there is one.
class TChosenFileDialogs : public QtDialogs {
public:
    TChosenFileDialogs(QWidget* owner, std::string file)
        : QtDialogs(owner), FFile(std::move(file)) {}
    std::optional<std::string> OpenPdfFile() override {
        return FFile.empty() ? QtDialogs::OpenPdfFile() : std::optional<std::string>(FFile);
    }

private:
    std::string FFile;
};

// Run by the next test in a copy of this process, as main runs the window: the signals noted,
// the window up, and the dialog FOLIOXA_SIGNAL_DIALOG names opened from the event loop. Once it
// is open, FOLIOXA_SIGNAL_READY is written; notices on the way to it are answered.
TEST(SignalDuringDialog, Window) {
    const char* wanted = std::getenv("FOLIOXA_SIGNAL_DIALOG");
    if (wanted == nullptr) {
        GTEST_SKIP() << "run by SignalDuringDialog.ClosesItAndEndsWithZeroAndNoWorker";
    }
    const std::string dialog = wanted;
    ASSERT_TRUE(InstallTerminationHandler());
    WatchTermination();
    QWidget owner; // the boxes are modal over it, as over the window
    TChosenFileDialogs dialogs(&owner, std::getenv("FOLIOXA_SIGNAL_FILE"));
    auto window = std::make_unique<TFormTest>(&dialogs);
    window->show();
    QTimer watch;
    bool ready = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QWidget* open = QApplication::activeModalWidget();
        if (!ready && dialog == "Opening" && window->Pdf().Busy()) {
            ready = true; // a worker opens the document, the window waits for it
            testing::WriteFile(std::getenv("FOLIOXA_SIGNAL_READY"), dialog);
        }
        if (open == nullptr || ready) {
            return;
        }
        const QString name = qobject_cast<QFileDialog*>(open) != nullptr && dialog == "Folder"
                                 ? QString("Folder")
                                 : open->objectName();
        if (name.toStdString() == dialog) {
            ready = true;
            testing::WriteFile(std::getenv("FOLIOXA_SIGNAL_READY"), dialog);
        } else if (auto* box = qobject_cast<QMessageBox*>(open)) {
            box->accept(); // the refusal before the password box
        }
    });
    watch.start(20);
    TFormTest* shown = window.get();
    QTimer::singleShot(0, [&dialogs, shown, &dialog] {
        if (dialog == "Folder") {
            shown->cmd_split_destClick();
        } else if (dialog == "Notice") {
            shown->export_buttonClick(); // no file chosen yet
        } else if (dialog == "ErrorDisplay") {
            RunHandler(dialogs, [] { throw Error("the error box"); });
        } else {
            shown->select_input_buttonClick(); // the file chooser, or the chosen file's password
        }
    });
    QApplication::exec();
    EXPECT_TRUE(ready);
    window.reset();
}

TEST(SignalDuringDialog, ClosesItAndEndsWithZeroAndNoWorker) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const testing::TempDir dir;
    const std::string locked = dir.File("locked.pdf");
    const std::string hanging = dir.File("hanging.pdf");
    testing::WriteFile(hanging, testing::FakePdf({"hang-on-open"}));
    const char* path = std::getenv("LD_LIBRARY_PATH");
    const std::string fakeEngine =
        testing::FakeEngineFolder() + (path != nullptr ? std::string(":") + path : "");
    testing::WriteFile(dir.File("plain.pdf"), testing::MakePdf({testing::TestPage{}}));
    testing::EncryptPdf(dir.File("plain.pdf"), locked, "secret", "owner", "aes-128");
    const struct {
        const char* Dialog;
        int Signal;
        std::string File;
    } rows[] = {
        {"PasswordBox", SIGTERM, locked},
        {"PasswordBox", SIGHUP, locked},
        {"Notice", SIGINT, ""},
        {"ErrorDisplay", SIGHUP, ""},
        {"OpenDialogPDF", SIGTERM, ""},
        {"Folder", SIGINT, ""},
        // No dialog: a worker opening the document, the window in its wait.
        {"Opening", SIGTERM, hanging},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.Dialog) + ", " + strsignal(row.Signal));
        const std::string ready = dir.File(std::string("ready-") + row.Dialog);
        std::filesystem::remove(ready);
        auto environment = kOffscreen;
        environment["FOLIOXA_SIGNAL_DIALOG"] = row.Dialog;
        environment["FOLIOXA_SIGNAL_FILE"] = row.File.c_str();
        environment["FOLIOXA_SIGNAL_READY"] = ready.c_str();
        if (row.File == hanging) {
            environment["LD_LIBRARY_PATH"] = fakeEngine.c_str();
        }
        const pid_t pid =
            Start("/proc/self/exe", {"--gtest_filter=SignalDuringDialog.Window"}, environment);
        for (int i = 0; i < 1500 && !std::filesystem::exists(ready); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(std::filesystem::exists(ready)) << "the dialog never opened";
        kill(pid, row.Signal);
        EXPECT_TRUE(ExitedWithZero(Ended(pid)));
        EXPECT_TRUE(testing::Children().empty()) << "a page worker outlived the window";
    }
}

} // namespace
} // namespace folioxa
