// The window over the hostile engine (app_tests_hostile_engine, HostileEngine.h): what
// compromised engine code tries from inside a worker costs nothing outside it, at one worker and
// at two (the window starts as many as the processors it may run on).
#include "app/Main.h"
#include "app/PagesTab.h"
#include "app/ScriptedDialogs.h"
#include "base/FileDescriptor.h"
#include "conversion/Messages.h"
#include "support/AttackTargets.h"
#include "support/FakeEngine.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <array>
#include <functional>
#include <map>
#include <memory>

namespace folioxa {
namespace {

using namespace folioxa::testing;

// This process's standard descriptors replaced while it lives, as a desktop session may have
// started the window with them.
class StdioRedirect {
public:
    StdioRedirect(int in, int out, int err) {
        const std::array<int, 3> to = {in, out, err};
        for (int fd = 0; fd < 3; ++fd) {
            FSaved[static_cast<std::size_t>(fd)].Reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
            dup2(to[static_cast<std::size_t>(fd)], fd);
        }
    }
    ~StdioRedirect() {
        for (int fd = 0; fd < 3; ++fd) {
            dup2(FSaved[static_cast<std::size_t>(fd)].Get(), fd);
        }
    }
    StdioRedirect(const StdioRedirect&) = delete;
    StdioRedirect& operator=(const StdioRedirect&) = delete;

private:
    std::array<FileDescriptor, 3> FSaved;
};

// The processors this process may run on limited to the first `count` while it lives.
class Processors {
public:
    explicit Processors(int count) {
        sched_getaffinity(0, sizeof FSaved, &FSaved);
        cpu_set_t some;
        CPU_ZERO(&some);
        int taken = 0;
        for (std::size_t cpu = 0; cpu < CPU_SETSIZE && taken < count; ++cpu) {
            if (CPU_ISSET(cpu, &FSaved)) {
                CPU_SET(cpu, &some);
                ++taken;
            }
        }
        sched_setaffinity(0, sizeof some, &some);
    }
    ~Processors() { sched_setaffinity(0, sizeof FSaved, &FSaved); }
    Processors(const Processors&) = delete;
    Processors& operator=(const Processors&) = delete;

private:
    cpu_set_t FSaved;
};

class HostileEngineWindow : public ::testing::Test {
protected:
    HostileEngineWindow() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    // Converts a document of two pages, each attacked with `attacks`, at `workers` workers,
    // while `during` holds; then checks what every run must leave: one notice, both pages as
    // drawn, no worker.
    void Convert(const std::vector<std::string>& attacks, int workers,
                 const std::function<std::shared_ptr<void>()>& during) {
        TempDir dir;
        WriteFile(dir.File("doc.pdf"), FakePdf(AttackEveryPage(2, attacks)));
        ScriptedDialogs dialogs;
        dialogs.Files.emplace_back(dir.File("doc.pdf"));
        TFormTest window(&dialogs);
        window.show();
        {
            const Processors processors(workers);
            const std::shared_ptr<void> held = during();
            window.findChild<QPushButton*>("select_input_button")->click();
            window.findChild<QComboBox*>("dropdown_image_type")->setCurrentText("PNG");
            window.findChild<QComboBox*>("dropdown_image_resolution")->setCurrentText("100");
            window.findChild<QPushButton*>("export_button")->click();
            WaitForRun(window);
        }
        EXPECT_THAT(dialogs.Calls, ::testing::ElementsAre("open", "notice Conversion complete!"));
        std::map<std::string, std::string> files = FilesIn(dir.Path());
        for (int page = 1; page <= 2; ++page) {
            EXPECT_TRUE(IsFakePage(files["doc_" + std::to_string(page) + ".png"], page)) << page;
        }
        EXPECT_THAT(RunningChildren(FTargets.Bystander()), ::testing::IsEmpty());
    }

    // A document of two pages in `dir`, page 2 drawn with `line`, for Select to choose.
    static void QueueAttacked(const TempDir& dir, ScriptedDialogs& dialogs,
                              const std::string& line) {
        WriteFile(dir.File("doc.pdf"), FakePdf({"pages 2", line}));
        dialogs.Files.emplace_back(dir.File("doc.pdf"));
    }

    AttackTargets FTargets;
};

TEST_F(HostileEngineWindow, AttacksRefusedInPlaceCostNothing) {
    const std::string earlier = "an earlier session's log line\n";
    for (const std::string& attack : FTargets.RefusedAttacks()) {
        for (const int workers : {1, 2}) {
            SCOPED_TRACE(attack + ", " + std::to_string(workers) + " workers");
            TempDir io;
            WriteFile(io.File("in"), "typed ahead\n");
            WriteFile(io.File("log"), earlier);
            const FileDescriptor in(open(io.File("in").c_str(), O_RDONLY | O_CLOEXEC));
            const FileDescriptor log(open(io.File("log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
            Convert({attack}, workers, [&] {
                return std::make_shared<StdioRedirect>(in.Get(), log.Get(), log.Get());
            });
            EXPECT_EQ(lseek(in.Get(), 0, SEEK_CUR), 0) << "stdin was read";
            const std::string written = ReadFile(io.File("log"));
            EXPECT_THAT(written, ::testing::StartsWith(earlier));
            EXPECT_FALSE(HasRawControls(written)) << written;
            EXPECT_THAT(written, ::testing::Not(::testing::HasSubstr("\n{")));
            EXPECT_FALSE(FTargets.BystanderReniced());
        }
    }
}

TEST_F(HostileEngineWindow, TheTerminalKeepsItsSettingsAndShowsNothingRaw) {
    for (const int workers : {1, 2}) {
        SCOPED_TRACE(std::to_string(workers) + " workers");
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        const FileDescriptor masterEnd(master), slaveEnd(slave);
        fcntl(master, F_SETFL, O_NONBLOCK);
        termios before{};
        tcgetattr(slave, &before);
        Convert({"take-terminal", "escape-sequences"}, workers,
                [slave] { return std::make_shared<StdioRedirect>(slave, slave, slave); });
        termios after{};
        tcgetattr(slave, &after);
        EXPECT_EQ(after.c_lflag, before.c_lflag) << "echo was " << ((after.c_lflag & ECHO) != 0);
        std::string shown;
        char buffer[4096];
        for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;) {
            shown.append(buffer, static_cast<std::size_t>(got));
        }
        EXPECT_FALSE(HasRawControls(shown)) << shown;
        EXPECT_THAT(shown, ::testing::HasSubstr("folioxa-worker: \\x1b]0;pwned"));
    }
}

// Frames of the worker's own making cost their page alone, with one box naming it; no byte the
// window did not encode is written.
TEST_F(HostileEngineWindow, WireAttacksCostTheirPageAlone) {
    for (const WireAttack& row : WireAttacks(200, 100, 100)) {
        for (const int workers : {1, 2}) {
            SCOPED_TRACE(std::string(row.Line) + ", " + std::to_string(workers) + " workers");
            TempDir dir;
            ScriptedDialogs dialogs;
            QueueAttacked(dir, dialogs, row.Line);
            TFormTest window(&dialogs);
            window.show();
            {
                const Processors processors(workers);
                window.findChild<QPushButton*>("select_input_button")->click();
                window.findChild<QComboBox*>("dropdown_image_type")->setCurrentText("PNG");
                window.findChild<QComboBox*>("dropdown_image_resolution")->setCurrentText("100");
                window.findChild<QPushButton*>("export_button")->click();
                WaitForRun(window);
            }
            std::map<std::string, std::string> files = FilesIn(dir.Path());
            EXPECT_TRUE(IsFakePage(files["doc_1.png"], 1));
            if (row.Message.empty()) {
                EXPECT_THAT(dialogs.Calls,
                            ::testing::ElementsAre("open", "notice Conversion complete!"));
                const DecodedImage page = DecodePng(files["doc_2.png"]);
                EXPECT_EQ(page.Width, 200);
                EXPECT_EQ(page.Height, 100);
            } else {
                EXPECT_THAT(dialogs.Calls,
                            ::testing::ElementsAre("open", "error " + DisplayText(row.Message)));
                EXPECT_EQ(files.count("doc_2.png"), 0U);
            }
            EXPECT_EQ(files.size(), row.Message.empty() ? 3U : 2U) << "doc.pdf beside";
            EXPECT_THAT(RunningChildren(FTargets.Bystander()), ::testing::IsEmpty());
        }
    }
}

// The Pages tab's worker meets the same attacks: each costs page 2's picture at most.
TEST_F(HostileEngineWindow, WireAttacksCostThePagesTabOnePictureAtMost) {
    for (const WireAttack& row : WireAttacks(200, 100, 100)) {
        SCOPED_TRACE(row.Line);
        TempDir dir;
        ScriptedDialogs dialogs;
        QueueAttacked(dir, dialogs, row.Line);
        {
            TFormTest window(&dialogs);
            window.show();
            window.findChild<QPushButton*>("select_input_button")->click();
            auto* tab = window.findChild<TPagesTab*>("TabPages");
            window.findChild<QTabWidget*>("PageControl1")->setCurrentWidget(tab);
            QApplication::processEvents();
            for (int turn = 0; turn < 6000 && tab->Drawing(); ++turn) {
                QEventLoop loop;
                QTimer::singleShot(5, &loop, &QEventLoop::quit);
                loop.exec();
            }
            const std::vector<int> drawn = tab->DrawnPages();
            EXPECT_EQ(drawn.size(), row.Message.empty() ? 2U : 1U);
            EXPECT_EQ(drawn.front(), 1);
            EXPECT_FALSE(HasRawControls(tab->List()->item(1)->toolTip().toStdString()));
        }
        EXPECT_THAT(dialogs.Calls, ::testing::ElementsAre("open"));
        EXPECT_THAT(RunningChildren(FTargets.Bystander()), ::testing::IsEmpty());
    }
}

} // namespace
} // namespace folioxa
