// The UDP output: the transport stream to up to three destinations in 1316-byte datagrams. It is made
// by the main thread before any stage thread starts (the set-up prints each destination and fails the
// start when a socket cannot be had) and is one of the multiplexer stage's consumers (ts_fanout.h):
// its ts() runs under that stage's lock, which is what keeps its sockets and counters to one caller.
//
// The destinations are fixed for the life of the object. One whose address does not parse is left
// out for good; a send that fails is reported once per run of failures and sending goes on.
#pragma once

#include "encode/output/output.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
inline constexpr int NET_DESTINATIONS = 3;
inline constexpr int NET_ADDRESS_CHARS = 15; // a dotted quad at most
inline constexpr int UDP_DATAGRAM_BYTES = 1316; // seven TS packets

// The three destinations in order (1: -z/-c, 2: -d/-m, 3: -e/-n). `fd` is -1 for a destination that
// is not in use (no port, or an address that does not parse).
struct NetDestinations {
    int fd[NET_DESTINATIONS];
    char addr[NET_DESTINATIONS][NET_ADDRESS_CHARS + 1];
    int port[NET_DESTINATIONS];
    sockaddr_in sockAddr[NET_DESTINATIONS];
};

// The main thread's filling: sockets unused, each address copied only when its port is above 0,
// the ports unconditionally. Addresses longer than 15 characters are stored empty, so that the
// set-up reports them as unparsable instead of sending to a truncated address.
NetDestinations NetDestinations_make(const char *addr1, int port1, const char *addr2, int port2,
                                     const char *addr3, int port3);

// Where the datagram sockets come from and how a datagram is sent: socket(2) and sendto(2) unless a
// test puts its own here.
using UdpOut_SocketFunction = int (*)(int domain, int type, int protocol);
using UdpOut_SendFunction = ssize_t (*)(int fd, const void *data, size_t bytes, int flags, const sockaddr *to,
                                        socklen_t toLength);

struct UdpOut_Attrs {
    NetDestinations destinations; // the sockets are made by UdpOut_create; `fd` is not read
    bool sending;                 // the stream goes to UDP (not off, not HTTP): the output wants packets
    UdpOut_SocketFunction socketFunction; // null: socket(2)
    UdpOut_SendFunction sendFunction;     // null: sendto(2)
};

typedef struct UdpOut_Object *UdpOut_Handle;

// Reads /mnt/ttl.ini, creates a datagram socket for every destination whose port is above 0 and
// keeps those whose address parses, printing each as it comes. Null when a socket cannot be created
// (the caller treats that as fatal) or out of memory.
UdpOut_Handle UdpOut_create(const UdpOut_Attrs *attrs);
Output *UdpOut_output(UdpOut_Handle h);

// The destinations as set up (a copy, for logs and tests).
NetDestinations UdpOut_destinations(UdpOut_Handle h);

// Whole TS packets in 1316-byte datagrams (a shorter remainder last), each to destinations 1, 2, 3 in
// that order. What ts() does; one caller at a time.
void UdpOut_send(UdpOut_Handle h, const uint8_t *data, int bytes);
