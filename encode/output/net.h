// The socket steps the network outputs share: a listening socket on a fixed port, and the abortive
// close of a peer that is let go.
#pragma once

#include <cstdint>

enum {
    Net_EOK = 0,
    Net_ESOCKET = -1, // no socket could be made
    Net_EBIND = -2,   // the port is taken (or the address is not the box's)
    Net_ELISTEN = -3, // another listener took the port between bind and listen
};

using Net_SocketFunction = int (*)(int domain, int type, int protocol);

// A TCP socket listening on `port` of `address` (host order; INADDR_ANY for every address) with
// `backlog`, into `*fd`. The address is reusable at once: a connection closed from our side holds the
// port in TIME_WAIT for a minute, and a program started again within it could not listen otherwise.
// Net_EOK, or the step that failed (nothing is left open then); the caller says it in its own words.
// `socket` is socket(2) unless a test refuses it.
int Net_listen(uint32_t address, int port, int backlog, int *fd, Net_SocketFunction socket = nullptr);

// The connection is reset when its socket is closed instead of lingering over what the peer has not
// taken: what it got of the last unit is torn anyway, and a stalled peer would keep the connection and
// its queue. For a socket that someone else closes (a library, another thread).
void Net_resetOnClose(int fd);
// Reset and closed at once.
void Net_closeAbortively(int fd);
