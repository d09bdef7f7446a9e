// UDP transport-stream output: the three destinations set up once by the main thread before any
// stage thread starts, the output semaphore that serialises the multiplexer and everything sent from
// its output buffer, and the TS fan-out that the writer and the audio threads call with the
// multiplexer's output while they hold that semaphore.
//
// The destinations are fixed for the life of the process; after Udp_setup only the fan-out reads
// them, always under the output semaphore, so they need no lock of their own.
#pragma once

#include <netinet/in.h>

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

// Reads /mnt/ttl.ini, creates a datagram socket for every destination whose port is above 0 and
// keeps those whose address parses. Returns 1, or the negative result of a failed socket() call (the
// caller treats that as fatal). Replaces (and closes) the sockets of an earlier set-up.
int Udp_setup(const NetDestinations &dest);

// The destinations as set up (a copy, for logs and tests).
NetDestinations Udp_destinations();

// Closes every socket and forgets the destinations (process end, tests).
void Udp_close();

// The output semaphore: process-private, initial count 1. Created by the main thread after the UDP
// set-up; 0 on success, -1 when sem_init fails.
int OutputSem_create();
void OutputSem_wait();
void OutputSem_post();
void OutputSem_destroy();

// Where Udp_setup gets its sockets (socket(2) by default; null puts that back). A seam for tests that
// must see the set-up fail.
using Udp_SocketFunction = int (*)(int domain, int type, int protocol);
void Udp_setSocketFunction(Udp_SocketFunction fn);

// The fan-out's other two consumers: the HTTP TS server's ring and the USB recorder register here
// when they start (null unregisters). A sink runs under the output semaphore, so it must never
// block: a slow consumer would stall every output of the box. Each one copies into its own memory
// and returns; a consumer that cannot keep up drops, it never waits.
using TsOut_Sink = void (*)(const uint8_t *data, int bytes);
void TsOut_setHttpSink(TsOut_Sink sink);
void TsOut_setRecorderSink(TsOut_Sink sink);

// True when that consumer is registered.
bool TsOut_httpAvailable();
bool TsOut_recorderAvailable();

// True while the multiplexer's output goes anywhere: TS output is on, or recording is on and the
// recorder takes it (a recorder that could not open its first file does not). The writer and the
// audio threads skip the multiplexer when it does not.
bool TsOut_wanted();

// The TS fan-out. Call with the output semaphore held; `bytes` is a multiple of 188. With TS output on,
// the output goes whole to the HTTP ring when HTTP TS is on, else in 1316-byte datagrams (a shorter
// remainder last) to destinations 1, 2, 3 in that order; a failed or short send is reported and
// sending goes on. Then, with TS recording on, the same output goes to the recorder.
void TsOut_fanOut(const uint8_t *data, int bytes);

// Only the UDP part: the datagrams to every destination in use. Returns the number of datagrams that
// went out whole (counted per destination).
int Udp_send(const uint8_t *data, int bytes);
