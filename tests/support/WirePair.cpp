#include "support/WirePair.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace folioxa::testing {

namespace {

std::pair<FileDescriptor, FileDescriptor> SocketPair() {
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        throw std::runtime_error("socketpair");
    }
    return {FileDescriptor(sockets[0]), FileDescriptor(sockets[1])};
}

} // namespace

TWirePair::TWirePair()
    : Parent(FileDescriptor(), WireSide::Parent), Worker(FileDescriptor(), WireSide::Worker) {
    auto [parent, worker] = SocketPair();
    FRaw.Reset(dup(worker.Get()));
    Parent = Channel(std::move(parent), WireSide::Parent);
    Worker = Channel(std::move(worker), WireSide::Worker);
}

void TWirePair::Reach(WireStage stage) {
    const FileDescriptor document(open("/dev/null", O_RDONLY | O_CLOEXEC));
    switch (stage) {
    case WireStage::Idle:
        return;
    case WireStage::Opening:
        Parent.Send(FrameType::Open, 0, EncodeOpen({"doc.pdf", "", {}}), document.Get());
        break;
    case WireStage::Paging:
    case WireStage::Sized:
    case WireStage::Drawing:
        Parent.Send(FrameType::Page, 7, EncodeCount(1));
        if (stage != WireStage::Paging) {
            (void)Worker.Receive();
            Worker.Send(FrameType::PageSize, 7, EncodePageSize({100, 100}));
            (void)Parent.Receive();
            if (stage == WireStage::Sized) {
                return;
            }
            Parent.Send(FrameType::Draw, 7, EncodeDraw({10, 10}));
        }
        break;
    }
    (void)Worker.Receive();
}

bool SendWithDescriptors(int socket, const std::string& bytes, int file, int count, int flags) {
    iovec part{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)] = {};
    if (count > 0) {
        const auto files = static_cast<std::size_t>(std::min(count, 8));
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * files);
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int) * files);
        for (std::size_t i = 0; i < files; ++i) {
            std::memcpy(CMSG_DATA(rights) + i * sizeof file, &file, sizeof file);
        }
    }
    return sendmsg(socket, &message, flags) >= 0;
}

bool TWirePair::SendRaw(const std::string& bytes, int files) {
    const FileDescriptor file(open("/dev/null", O_RDONLY | O_CLOEXEC));
    return SendWithDescriptors(FRaw.Get(), bytes, file.Get(), files, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void TWirePair::CloseWorker() {
    FRaw.Reset();
    Worker = Channel(FileDescriptor(), WireSide::Worker);
    fcntl(Parent.Fd(), F_SETFL, fcntl(Parent.Fd(), F_GETFL) | O_NONBLOCK);
}

} // namespace folioxa::testing
