#include "support/SandboxTargets.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <stdexcept>

namespace folioxa::testing {

SandboxTargets::SandboxTargets()
    : FTcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      FUnix(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    FTargets.Folder = FDir.Path().string();
    FTargets.UserFile = FDir.File("letter.txt");
    WriteFile(FTargets.UserFile, "Dear user, this is not the document.\n");

    sockaddr_in tcp{};
    tcp.sin_family = AF_INET;
    tcp.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // port 0: the kernel picks a free one
    socklen_t size = sizeof tcp;
    if (!FTcp || bind(FTcp.Get(), reinterpret_cast<sockaddr*>(&tcp), sizeof tcp) != 0 ||
        listen(FTcp.Get(), 8) != 0 ||
        getsockname(FTcp.Get(), reinterpret_cast<sockaddr*>(&tcp), &size) != 0) {
        throw std::runtime_error("no TCP listener on 127.0.0.1");
    }
    FTargets.TcpPort = ntohs(tcp.sin_port);

    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    FTargets.UnixSocket = FDir.File("socket");
    std::strncpy(local.sun_path, FTargets.UnixSocket.c_str(), sizeof local.sun_path - 1);
    if (!FUnix || bind(FUnix.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(FUnix.Get(), 8) != 0) {
        throw std::runtime_error("no Unix socket listener at " + FTargets.UnixSocket);
    }
}

} // namespace folioxa::testing
