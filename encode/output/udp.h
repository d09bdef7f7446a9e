// The TS output: the multiplexer's packets to their consumers. A TS output is an object its owner
// (the main thread) creates once it knows the destinations and switches, hands to the writer and the
// audio threads, and deletes after they have ended. It owns the three UDP destinations and the lock
// under which the multiplexer runs and everything is sent from its output; the multiplexer, the HTTP
// TS server, the SRT output and the recorder are the owner's, handed to it at creation, and outlive it.
//
// The destinations are fixed for the life of the object: after creation only the fan-out reads them,
// under the object's lock, which serialises the writer's and the audio threads' frames.
#pragma once

#include "encode/output/http_ts.h"
#include "encode/output/recorder.h"
#include "encode/output/srt.h"
#include "encode/output/tsmux.h"

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
using TsOut_SocketFunction = int (*)(int domain, int type, int protocol);
using TsOut_SendFunction = ssize_t (*)(int fd, const void *data, size_t bytes, int flags, const sockaddr *to,
                                       socklen_t toLength);

struct TsOut_Attrs {
    NetDestinations destinations; // the sockets are made by TsOut_create; `fd` is not read
    TsMux_Handle mux;             // initialised by the owner; null: TsOut_send refuses every frame
    bool streamOff;               // /mnt/ts.ini: no stream output, only the recording gets the packets
    bool httpTs;                  // /mnt/httpts.ini: the stream goes to `http` instead of UDP
    HttpTs_Handle http;           // null: with httpTs the stream goes nowhere
    Recorder_Handle recorder;     // null: nothing is recorded
    SrtOut_Handle srt;            // null: no SRT; else it takes every payload, whatever UDP/HTTP/off say
    TsOut_SocketFunction socketFunction; // null: socket(2)
    TsOut_SendFunction sendFunction;     // null: sendto(2)
};

typedef struct TsOut_Object *TsOut_Handle;

// Reads /mnt/ttl.ini, creates a datagram socket for every destination whose port is above 0 and
// keeps those whose address parses, printing each as it comes. Null when a socket cannot be created
// (the caller treats that as fatal) or out of memory.
TsOut_Handle TsOut_create(const TsOut_Attrs *attrs);

// Closes the sockets and frees the object; the multiplexer, server and recorder it was handed stay
// the owner's. Nothing may send through it any more. Null is accepted.
void TsOut_delete(TsOut_Handle h);

// The destinations as set up (a copy, for logs and tests).
NetDestinations TsOut_destinations(TsOut_Handle h);

// True while the multiplexer's output goes anywhere: the stream output is on, SRT is on, or a recorder
// takes it (one that could not open its first file does not). The writer and the audio threads skip the
// multiplexer when it does not. False for a null handle.
bool TsOut_wanted(TsOut_Handle h);

// One frame, under the object's lock: multiplexed by the object's multiplexer from `params` (a
// TsMux_process record with its output buffer), then fanned out as TsOut_fanOut does. Returns what
// TsMux_process returned: the byte count, or its refusal's status (nothing is sent then).
int TsOut_send(TsOut_Handle h, TsMux_Params *params);

// The fan-out, under the object's lock; `bytes` is a multiple of 188. With the stream output on, the
// packets go whole to the HTTP ring when HTTP TS is on, else in 1316-byte datagrams (a shorter
// remainder last) to destinations 1, 2, 3 in that order; a failed or short send is reported once per
// run of them and sending goes on. The SRT output, when there is one, gets the same cut of payloads
// (it queues them without waiting). Then the recorder, when there is one, gets the same packets.
void TsOut_fanOut(TsOut_Handle h, const uint8_t *data, int bytes);
