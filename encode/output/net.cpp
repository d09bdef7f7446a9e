#include "encode/output/net.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int Net_listen(uint32_t address, int port, int backlog, int *fd, Net_SocketFunction makeSocket)
{
    *fd = -1;
    int s = (makeSocket != nullptr ? makeSocket : ::socket)(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (s < 0 || ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        if (s >= 0) {
            ::close(s);
        }
        return Net_ESOCKET;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(s);
        return Net_EBIND;
    }
    if (::listen(s, backlog) != 0) {
        ::close(s);
        return Net_ELISTEN;
    }
    *fd = s;
    return Net_EOK;
}

void Net_resetOnClose(int fd)
{
    linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
}

void Net_closeAbortively(int fd)
{
    Net_resetOnClose(fd);
    ::close(fd);
}
