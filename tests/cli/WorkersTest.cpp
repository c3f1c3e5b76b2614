#include "cli/Workers.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace folioxa {
namespace {

TEST(WorkerEvent, SurvivesTheLineProtocol) {
    const std::vector<WorkerEvent> cases = {
        {WorkerEvent::Started, 0, "1", "/o/a_1.png", 0, 0, ""},
        {WorkerEvent::Written, 41, " 2", "/o/with\ttab/and\nnewline\\x.jpg", 123456789012, 5500,
         ""},
        {WorkerEvent::Failed, 7, "abc", "/o/a_abc.jpg", 0, 0, "'abc' is not a valid integer value"},
        {WorkerEvent::OpenFailed, -1, "", "", 0, 0, "Cannot create file \"/o/x\".\nline two\\"},
    };
    for (const auto& e : cases) {
        const std::string line = EncodeWorkerEvent(e);
        ASSERT_EQ(line.back(), '\n');
        ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << "one line per event";
        const WorkerEvent back = DecodeWorkerEvent(line.substr(0, line.size() - 1));
        EXPECT_EQ(back.Type, e.Type);
        EXPECT_EQ(back.Index, e.Index);
        EXPECT_EQ(back.Text, e.Text);
        EXPECT_EQ(back.Path, e.Path);
        EXPECT_EQ(back.Bytes, e.Bytes);
        EXPECT_EQ(back.Microseconds, e.Microseconds);
        EXPECT_EQ(back.Message, e.Message);
    }
    for (const std::string bad : {"", "written\t1", "done\t1\t\t\t0\t0\t", "written\tx\t\t\t0\t0\t",
                                  "written\t1\t\t\t0\t0\t\textra"}) {
        EXPECT_THROW(DecodeWorkerEvent(bad), Error) << bad;
    }
}

TEST(TClaimBoard, EveryEntryOnceAcrossProcesses) {
    constexpr std::int64_t kEntries = 2000;
    constexpr int kProcesses = 4;
    TClaimBoard board(kEntries);
    int pipes[kProcesses][2];
    for (auto& p : pipes) {
        ASSERT_EQ(pipe(p), 0);
        if (fork() == 0) {
            // A child reaches the board through the descriptor, as a worker does after exec.
            close(p[0]);
            TClaimBoard mine = TClaimBoard::Attach(dup(board.Fd()));
            std::int64_t previous = -1;
            for (std::int64_t i; (i = mine.Claim(kEntries)) < kEntries; previous = i) {
                if (i <= previous || write(p[1], &i, sizeof i) != sizeof i) {
                    _exit(1);
                }
            }
            _exit(0);
        }
        close(p[1]);
    }
    std::vector<std::int64_t> claimed;
    for (auto& p : pipes) {
        std::int64_t i;
        while (read(p[0], &i, sizeof i) == sizeof i) {
            claimed.push_back(i);
        }
        close(p[0]);
    }
    for (int k = 0; k < kProcesses; ++k) {
        int status = 0;
        wait(&status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "claims must increase";
    }
    std::sort(claimed.begin(), claimed.end());
    ASSERT_EQ(claimed.size(), static_cast<std::size_t>(kEntries));
    for (std::int64_t i = 0; i < kEntries; ++i) {
        ASSERT_EQ(claimed[static_cast<std::size_t>(i)], i);
    }
}

TEST(TClaimBoard, StopsAtTheLimitTheCountAndAfterAFailure) {
    struct Case {
        std::int64_t limit, count;
        std::vector<std::int64_t> failures; // reported after the first claim
        std::vector<std::int64_t> claims;   // until the first "none left"
    };
    const std::vector<Case> cases = {
        {5, 10, {}, {0, 1, 2, 3, 4}},
        {10, 3, {}, {0, 1, 2}},
        {10, 10, {3}, {0, 1, 2, 3}},    // the failing entry itself may still be claimed
        {10, 10, {6, 2, 4}, {0, 1, 2}}, // the lowest failure counts
        {10, 10, {0}, {0}},
    };
    for (const auto& c : cases) {
        TClaimBoard board(c.limit);
        std::vector<std::int64_t> claims;
        for (std::int64_t i; (i = board.Claim(c.count)) < c.count;) {
            claims.push_back(i);
            if (claims.size() == 1) {
                for (const auto f : c.failures) {
                    board.ReportFailure(f);
                }
            }
        }
        EXPECT_EQ(claims, c.claims) << c.limit << " " << c.count;
    }
}

} // namespace
} // namespace folioxa
