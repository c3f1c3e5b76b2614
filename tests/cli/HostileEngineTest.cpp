// folioxa-convert over the hostile engine (HostileEngine.h): what compromised engine code tries
// from inside a worker costs nothing outside it, at one worker and at two.
#include "support/HostileEngine.h"

#include "base/FileDescriptor.h"
#include "base/Printable.h"
#include "conversion/Messages.h"
#include "support/AttackTargets.h"
#include "support/FakeEngine.h"
#include "support/ImageFiles.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

namespace folioxa {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WireAttack;
using testing::WireAttacks;
using testing::WriteFile;

// Runs `argv` with `environment`; stdin, stdout and stderr as `arrange` sets them in the child.
template <typename Arrange>
pid_t Start(std::vector<std::string> argv, std::vector<std::string> environment, Arrange arrange) {
    std::vector<char*> args, env;
    for (std::string& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    for (std::string& variable : environment) {
        env.push_back(variable.data());
    }
    env.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        arrange();
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    return pid;
}

// In a child about to run the tool, as a shell starts it: its own session, the terminal `slave`
// its controlling one and its standard three.
void OnTerminal(int slave) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
}

int ExitCode(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> Environment() {
    // The variable is set in this process by AttackTargets, so it is in the copy too.
    return testing::HostileEngineEnvironment();
}

class HostileEngine : public ::testing::Test {
protected:
    HostileEngine() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    // Every worker gone once the run is over; the bystander is no worker.
    void ExpectNoWorkerLeft() {
        EXPECT_THAT(testing::RunningChildren(FTargets.Bystander()), ::testing::IsEmpty());
    }
    testing::AttackTargets FTargets;
};

// A shell loop reads five document names from a file and converts each, its JSON records piped
// on, its messages appended to a log that already holds something: as
// `cmd --json 2>>log | cat >>out` in a `while read` loop.
TEST_F(HostileEngine, AttacksRefusedInPlaceLeaveTheRunTheLogAndTheLoopWhole) {
    const std::string earlier = "an earlier run's log line\n";
    for (const std::string& attack : FTargets.RefusedAttacks()) {
        for (const char* jobs : {"1", "2"}) {
            SCOPED_TRACE(attack + ", -j " + jobs);
            TempDir dir;
            std::string names;
            for (int n = 1; n <= 5; ++n) {
                const std::string name = "doc" + std::to_string(n);
                WriteFile(dir.File(name + ".pdf"),
                          testing::FakePdf(testing::AttackEveryPage(2, {attack})));
                names += name + "\n";
            }
            WriteFile(dir.File("list"), names);
            WriteFile(dir.File("log"), earlier);
            // Records through a pipe (a file would stop a raw write at its size limit already),
            // messages to the log file.
            const char* loop = "cd \"$2\" && while read -r name; do\n"
                               "  { \"$1\" --json -j \"$3\" -t png -r 72 \"$name.pdf\" 2>>log ||\n"
                               "    echo \"exit $? for $name\" >>log; } | cat >>out\n"
                               "done <list\n";
            const pid_t shell =
                Start({"/bin/sh", "-c", loop, "sh", FOLIOXA_CONVERT, dir.File(""), jobs},
                      Environment(), [] {});
            ASSERT_EQ(ExitCode(shell), 0);

            std::map<std::string, std::string> files = testing::FilesIn(dir.Path());
            for (int n = 1; n <= 5; ++n) {
                for (int page = 1; page <= 2; ++page) {
                    const std::string file =
                        "doc" + std::to_string(n) + "_" + std::to_string(page) + ".png";
                    EXPECT_TRUE(testing::IsFakePage(files[file], page)) << file;
                }
            }
            const std::string log = ReadFile(dir.File("log"));
            EXPECT_THAT(log, ::testing::StartsWith(earlier));
            EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("exit ")));
            EXPECT_FALSE(testing::HasRawControls(log)) << log;
            const std::string out = ReadFile(dir.File("out"));
            EXPECT_FALSE(testing::HasRawControls(out));
            std::istringstream records(out);
            int summaries = 0;
            for (std::string line; std::getline(records, line);) {
                EXPECT_THAT(line, ::testing::StartsWith("{\"type\":"));
                EXPECT_THAT(line, ::testing::Not(::testing::HasSubstr("\"written\":99")));
                summaries += line.starts_with("{\"type\":\"summary\"") ? 1 : 0;
            }
            EXPECT_EQ(summaries, 5);
            EXPECT_FALSE(FTargets.BystanderReniced());
            ExpectNoWorkerLeft();
        }
    }
}

// The run in a terminal it was started from: the terminal keeps its settings and shows no
// sequence a worker wrote.
TEST_F(HostileEngine, TheTerminalKeepsItsSettingsAndShowsNothingRaw) {
    for (const char* jobs : {"1", "2"}) {
        SCOPED_TRACE(std::string("-j ") + jobs);
        TempDir dir;
        WriteFile(dir.File("doc.pdf"), testing::FakePdf(testing::AttackEveryPage(
                                           2, {"take-terminal", "escape-sequences"})));
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        termios before{};
        tcgetattr(slave, &before);
        const pid_t tool =
            Start({FOLIOXA_CONVERT, "-q", "-j", jobs, "-t", "png", "-r", "72", dir.File("doc.pdf")},
                  Environment(), [slave] { OnTerminal(slave); });
        std::string shown;
        int status = -1;
        for (char buffer[4096];;) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 100) == 0) {
                if (waitpid(tool, &status, WNOHANG) == tool) {
                    break;
                }
                continue;
            }
            const ssize_t got = read(master, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            shown.append(buffer, static_cast<std::size_t>(got));
        }
        termios after{};
        tcgetattr(slave, &after);
        close(slave);
        close(master);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << shown;
        EXPECT_EQ(after.c_lflag, before.c_lflag) << "echo was " << ((after.c_lflag & ECHO) != 0);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_FALSE(testing::HasRawControls(shown)) << shown;
        EXPECT_THAT(shown, ::testing::HasSubstr("folioxa-worker: \\x1b]0;pwned"));
        for (int page = 1; page <= 2; ++page) {
            EXPECT_TRUE(testing::IsFakePage(
                ReadFile(dir.File("doc_" + std::to_string(page) + ".png")), page));
        }
        ExpectNoWorkerLeft();
    }
}

// A signal while the password prompt waits for its answer, the worker that opened the document
// kept: the terminal gets its echo back, the tool ends by that signal and no worker is left.
TEST_F(HostileEngine, ASignalAtThePasswordPromptLeavesTheTerminalAndNoWorker) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir dir;
        WriteFile(dir.File("doc.pdf"), testing::FakePdf({"password secret"}));
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        termios before{};
        tcgetattr(slave, &before);
        const pid_t tool = Start({FOLIOXA_CONVERT, "-t", "png", dir.File("doc.pdf")}, Environment(),
                                 [slave] { OnTerminal(slave); });
        std::string shown;
        for (char buffer[256]; shown.find("Password for") == std::string::npos;) {
            pollfd ready{master, POLLIN, 0};
            const ssize_t got =
                poll(&ready, 1, 30000) > 0 ? read(master, buffer, sizeof buffer) : 0;
            ASSERT_GT(got, 0) << "no prompt: " << shown;
            shown.append(buffer, static_cast<std::size_t>(got));
        }
        kill(tool, signal);
        EXPECT_EQ(ExitCode(tool), 128 + signal);
        termios after{};
        tcgetattr(slave, &after);
        close(slave);
        close(master);
        EXPECT_EQ(after.c_lflag, before.c_lflag) << "echo was " << ((after.c_lflag & ECHO) != 0);
        // The kept worker is killed as its parent dies, which the kernel delivers a moment later.
        for (int i = 0; i < 500 && !testing::RunningChildren(FTargets.Bystander()).empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ExpectNoWorkerLeft();
    }
}

// Frames of the worker's own making: each costs its page alone, with one message naming the
// entry; the tool reads none of the bytes a frame announces beyond its bound, keeps no descriptor
// and writes no byte it did not encode.
TEST_F(HostileEngine, WireAttacksCostTheirPageAlone) {
    for (const WireAttack& row : WireAttacks(144, 72, 72)) {
        for (const char* jobs : {"1", "2"}) {
            SCOPED_TRACE(std::string(row.Line) + ", -j " + jobs);
            TempDir dir;
            WriteFile(dir.File("doc.pdf"), testing::FakePdf({"pages 2", row.Line}));
            const pid_t tool =
                Start({FOLIOXA_CONVERT, "-j", jobs, "-t", "png", "-r", "72", dir.File("doc.pdf")},
                      Environment(), [&dir] {
                          const int err =
                              open(dir.File("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
                          dup2(err, 2);
                      });
            int status = 0;
            rusage usage{};
            wait4(tool, &status, 0, &usage);
            EXPECT_LT(usage.ru_maxrss, 200 * 1024) << "the tool took what a frame asked";
            const std::string err = ReadFile(dir.File("err"));
            EXPECT_FALSE(testing::HasRawControls(err)) << err;
            std::vector<std::string> lines;
            std::istringstream said(err);
            for (std::string line; std::getline(said, line);) {
                if (line.starts_with("folioxa-convert: ")) {
                    lines.push_back(line);
                }
            }
            std::map<std::string, std::string> files = testing::FilesIn(dir.Path());
            EXPECT_TRUE(testing::IsFakePage(files["doc_1.png"], 1));
            if (row.Message.empty()) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
                const testing::DecodedImage page = testing::DecodePng(files["doc_2.png"]);
                EXPECT_EQ(page.Width, 144);
                EXPECT_EQ(page.Height, 72);
            } else {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << err;
                EXPECT_THAT(lines,
                            ::testing::ElementsAre(
                                "folioxa-convert: " + dir.File("doc.pdf") +
                                ": entry \"2\" (2 of 2): " + Printable(DisplayText(row.Message))));
                EXPECT_EQ(files.count("doc_2.png"), 0U);
            }
            EXPECT_EQ(files.size(), row.Message.empty() ? 4U : 3U) << "doc.pdf and err beside";
            ExpectNoWorkerLeft();
        }
    }
}

// A worker that drops its death signal still ends with the tool when that is killed.
TEST_F(HostileEngine, NoWorkerOutlivesAKilledParent) {
    for (const int jobs : {1, 2}) {
        SCOPED_TRACE("-j " + std::to_string(jobs));
        TempDir dir;
        WriteFile(dir.File("doc.pdf"),
                  testing::FakePdf(testing::AttackEveryPage(2, {"keep-alive"})));
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        const FileDescriptor errors(ends[0]);
        FileDescriptor errorEnd(ends[1]);
        const int stderrEnd = errorEnd.Get();
        const pid_t tool = Start({FOLIOXA_CONVERT, "-j", std::to_string(jobs), "-t", "png", "-r",
                                  "72", dir.File("doc.pdf")},
                                 Environment(), [stderrEnd] { dup2(stderrEnd, 2); });
        errorEnd.Reset();
        // Each worker says when it has dropped its death signal.
        std::vector<pid_t> workers;
        std::string said;
        for (char buffer[256]; static_cast<int>(workers.size()) < jobs;) {
            const ssize_t got = read(errors.Get(), buffer, sizeof buffer);
            ASSERT_GT(got, 0) << said;
            said.append(buffer, static_cast<std::size_t>(got));
            workers.clear();
            for (std::size_t at = 0; (at = said.find("keep-alive ", at)) != std::string::npos;) {
                at += 11;
                workers.push_back(std::stoi(said.substr(at)));
            }
        }
        kill(tool, SIGKILL);
        EXPECT_EQ(ExitCode(tool), 128 + SIGKILL);
        // This process is their subreaper: each comes here to be reaped once it has ended.
        for (const pid_t worker : workers) {
            int status = 0;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (waitpid(worker, &status, WNOHANG) == 0 &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                << "worker " << worker << " outlived its parent";
        }
        ExpectNoWorkerLeft();
        for (const int child : testing::RunningChildren(FTargets.Bystander())) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
}

} // namespace
} // namespace folioxa
