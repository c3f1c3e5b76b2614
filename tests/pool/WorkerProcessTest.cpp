// How a page worker starts and what the parent makes of its standard error.
#include "pool/WorkerProcess.h"

#include "pool/WorkerOutput.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace folioxa {
namespace {

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// A shell stands in for the worker and says, on its socket, what it was given.
TEST(StartWorker, GivesTheSocketAloneAnEmptyEnvironmentAndNoTerminal) {
    setenv("FOLIOXA_SECRET_TOKEN", "hunter2", 1);
    // Left open across exec on purpose: the worker must still not get it.
    const FileDescriptor inherited(open("/dev/null", O_RDONLY));
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    const FileDescriptor ours(sockets[0]);
    FileDescriptor theirs(sockets[1]);
    // Redirections of single commands make the shell hold copies: one exec first, none after.
    const char* script = "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1); exec >&3\n"
                         "echo \"$in\"; echo \"$out\"; stat -L -c %F /proc/$$/fd/2\n"
                         "ls /proc/$$/fd\n"
                         "echo \"$$ $(cut -d' ' -f6,7 /proc/$$/stat)\"\n"
                         "tr '\\0' '\\n' </proc/$$/environ\n";
    WorkerProcess worker = StartWorker({"/bin/sh", {"-c", script}, theirs.Get()});
    theirs.Reset();
    std::istringstream said(ReadAll(ours.Get()));
    int status = -1;
    waitpid(worker.Pid, &status, 0);
    unsetenv("FOLIOXA_SECRET_TOKEN");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<std::string> lines;
    for (std::string line; std::getline(said, line);) {
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 8U);
    EXPECT_THAT(std::vector(lines.begin(), lines.begin() + 7),
                ::testing::ElementsAre("/dev/null", "/dev/null", "fifo", "0", "1", "2", "3"));
    // A session of its own, so no controlling terminal (tty 0).
    EXPECT_EQ(lines[7], std::to_string(worker.Pid) + " " + std::to_string(worker.Pid) + " 0");
    EXPECT_EQ(std::vector(lines.begin() + 8, lines.end()), WorkerEnvironment());
    EXPECT_THAT(lines, ::testing::Not(::testing::Contains(::testing::HasSubstr("hunter2"))));
    EXPECT_TRUE(worker.PidFd.Valid());
}

TEST(WorkerOutput, PassesLinesEscapedAndBounded) {
    const std::string flood(300, 'x');
    const struct {
        const char* Name;
        std::string Written;
        bool Ends; // the worker closes its end
        std::string Passed;
        bool Closed; // the parent stopped reading
    } cases[] = {
        {"lines", "one\ntwo\n", false, "folioxa-worker: one\nfolioxa-worker: two\n", false},
        {"escapes", "\x1b]0;title\x07\x1b]52;c;cHdu\x07\x1b[2J\r\n", false,
         "folioxa-worker: \\x1b]0;title\\x07\\x1b]52;c;cHdu\\x07\\x1b[2J\\x0d\n", false},
        {"an unfinished last line", "done\nhalf", true,
         "folioxa-worker: done\nfolioxa-worker: half\n", true},
        {"a line past its bound", std::string(600, 'a') + "\nb\n", false,
         "folioxa-worker: " + std::string(TWorkerOutput::kLineBytes, 'a') +
             " [cut]\nfolioxa-worker: b\n",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
        FileDescriptor writeEnd(ends[1]);
        testing::TempDir dir;
        const FileDescriptor sink(open(dir.File("err").c_str(), O_WRONLY | O_CREAT, 0600));
        TWorkerOutput output{FileDescriptor(ends[0]), sink.Get()};
        ASSERT_TRUE(WriteAll(writeEnd.Get(), c.Written.data(), c.Written.size()));
        if (c.Ends) {
            writeEnd.Reset();
        }
        EXPECT_EQ(output.Read(), !c.Closed);
        EXPECT_EQ(testing::ReadFile(dir.File("err")), c.Passed);
    }
}

TEST(WorkerOutput, StopsReadingPastItsBound) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    const FileDescriptor writeEnd(ends[1]);
    testing::TempDir dir;
    const FileDescriptor sink(open(dir.File("err").c_str(), O_WRONLY | O_CREAT, 0600));
    TWorkerOutput output{FileDescriptor(ends[0]), sink.Get()};
    const std::string line = std::string(300, 'x') + "\n";
    while (output.Fd() >= 0 && WriteAll(writeEnd.Get(), line.data(), line.size())) {
        output.Read();
    }
    EXPECT_EQ(output.Fd(), -1) << "still reading a worker that writes without end";
    const std::string passed = testing::ReadFile(dir.File("err"));
    EXPECT_LE(passed.size(), TWorkerOutput::kOutputBytes);
    EXPECT_THAT(passed, ::testing::EndsWith("\nfolioxa-worker: (further output dropped)\n"));
}

} // namespace
} // namespace folioxa
