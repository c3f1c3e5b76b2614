#include "cli/DocumentInput.h"

#include "base/Error.h"
#include "support/TestFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace folioxa {
namespace {

using testing::TempDir;

// What SharedInput gives for `name`: the bytes it kept, or its failure's text.
std::string Outcome(const std::string& name, int stdinFd, std::uint64_t limit) {
    try {
        const auto file = SharedInput(name, stdinFd, limit);
        if (!file) {
            return "(by name)";
        }
        std::string bytes;
        char buffer[4096];
        for (ssize_t got; (got = ::pread(file->Get(), buffer, sizeof buffer,
                                         static_cast<off_t>(bytes.size()))) > 0;) {
            bytes.append(buffer, static_cast<std::size_t>(got));
        }
        // The workers share it: none may change or grow it.
        EXPECT_LT(::pwrite(file->Get(), "x", 1, 0), 0);
        EXPECT_LT(::ftruncate(file->Get(), 1 << 20), 0);
        return bytes;
    } catch (const Error& e) {
        EXPECT_EQ(e.Kind(), ErrorKind::Open);
        return e.what();
    }
}

// Streams on stdin, fed by a thread through a socket (a pipe's end would raise SIGPIPE once
// the reader stops): what is kept, or why it is refused at once.
TEST(SharedInput, StreamsNeedAHeaderAndABound) {
    const std::string notPdf = "File not in PDF format or corrupted";
    const std::string junk1019(1019, 'j');
    const struct {
        const char* Name;
        std::string Bytes;
        bool Endless; // the bytes, then zeros until the reader stops
        std::string Expected;
    } rows[] = {
        {"a PDF", "%PDF-1.7 body", false, "%PDF-1.7 body"},
        {"header ending at byte 1024", junk1019 + "%PDF-", false, junk1019 + "%PDF-"},
        {"header ending past byte 1024", junk1019 + "j%PDF-", false, notPdf},
        {"empty", "", false, notPdf},
        {"endless zeros", "", true, notPdf},
        {"endless past the bound", "%PDF-", true,
         "The PDF read from stdin is larger than 1 MB, the most kept in memory: save it to a "
         "file and name that file"},
    };
    for (const auto& row : rows) {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        std::thread feeder([&row, writer = ends[1]] {
            std::string bytes = row.Bytes;
            do {
                for (std::size_t sent = 0; sent < bytes.size();) {
                    const ssize_t put =
                        ::send(writer, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                    if (put <= 0) {
                        ::close(writer);
                        return;
                    }
                    sent += static_cast<std::size_t>(put);
                }
                bytes.assign(1 << 16, '\0');
            } while (row.Endless);
            ::close(writer);
        });
        EXPECT_EQ(Outcome("-", ends[0], 1 << 20), row.Expected) << row.Name;
        ::close(ends[0]); // ends an endless feeder
        feeder.join();
    }
}

TEST(SharedInput, ByName) {
    TempDir dir;
    testing::WriteFile(dir.File("doc.pdf"), "%PDF-1.7 a file");
    std::filesystem::create_directory(dir.File("folder"));
    const int file = ::open(dir.File("doc.pdf").c_str(), O_RDONLY | O_CLOEXEC);
    const int folder = ::open(dir.File("folder").c_str(), O_RDONLY | O_CLOEXEC);
    const struct {
        std::string Name;
        int Stdin;
        std::string Expected;
    } rows[] = {
        {dir.File("doc.pdf"), -1, "(by name)"},
        {dir.File("missing.pdf"), -1, "(by name)"}, // the engine says why
        {"-", file, "%PDF-1.7 a file"},
        {dir.File("folder"), -1, "\"" + dir.File("folder") + "\" is a folder, not a PDF file"},
        {"-", folder, "stdin is a folder, not a PDF file"},
        {"/dev/zero", -1, "File not in PDF format or corrupted"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Outcome(row.Name, row.Stdin, 1 << 20), row.Expected) << row.Name;
    }
    ::close(file);
    ::close(folder);
}

} // namespace
} // namespace folioxa
