// Loopback ports for tests that start servers or listen for the encoder's datagrams.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A port on 127.0.0.1 that was free a moment ago (the kernel's choice), for SOCK_STREAM or SOCK_DGRAM;
// 0 when none could be had.
inline int freeLoopbackPort(int type = SOCK_STREAM)
{
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}
