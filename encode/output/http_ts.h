// HTTP transport-stream server: the TS fan-out appends every multiplexed frame to a 2 MiB ring, and a
// server on TCP port 10000 streams that ring to every client from the moment it connects, whatever
// path it asks for.
//
// A server is an object: HttpTs_create allocates its ring and starts its server thread, HttpTs_delete
// stops and joins that thread and every client thread before it frees the ring, so servers on two
// ports can run side by side. Threads: the writer and audio threads append (through the multiplexer
// stage the server is a consumer of, under its lock); the server thread accepts; one thread per client
// copies 2048-byte steps out of the ring and sends them without waiting on a full socket. A client is judged
// by how far behind live it is (client_lag.h): one more than 2 s behind, or a whole ring behind, is
// moved to the live edge; one that has taken nothing for 3 s is dropped.
#pragma once

#include "encode/output/client_lag.h"
#include "encode/output/output.h"

#include <cstdint>

inline constexpr int HTTP_TS_PORT = 10000;
inline constexpr int HTTP_TS_RING_BYTES = 2097152;
inline constexpr int HTTP_TS_STEP_BYTES = 2048;
// A client that takes nothing of what it was sent for this long is dropped; the answer to its request
// must go out within it too.
inline constexpr int HTTP_TS_SEND_TIMEOUT_MS = CLIENT_LAG_STALL_MS;
// A client that sends no request within this time is let go (the appliance default).
inline constexpr int HTTP_TS_REQUEST_TIMEOUT_MS = 5000;

struct HttpTsServerConfig {
    int port;             // the listening port
    uint32_t address;     // in host order: INADDR_ANY on the appliance, INADDR_LOOPBACK in tests
    int requestTimeoutMs; // how long a client may take to send its request
};

// Port 10000 shifted by ENCODE_PORT_OFFSET, on the address ENCODE_BIND_ADDRESS names (every local
// address without it).
HttpTsServerConfig HttpTs_defaultConfig();

typedef struct HttpTs_Object *HttpTs_Handle;

// Allocates the ring and starts the server thread with a copy of `config` (null: the defaults). The
// thread prints "My web server started...", waits a second, listens and accepts until the server is
// deleted; when the listening socket cannot be made it prints "Server exception!", asks for a reboot
// and ends (the ring still takes appends). Null when the memory or the thread cannot be had.
HttpTs_Handle HttpTs_create(const HttpTsServerConfig *config);

// Ends the server: the accept and every client are woken (their sockets shut down), each thread is
// joined, the status report removed and the ring freed. Nothing may append any more. Null is accepted.
void HttpTs_delete(HttpTs_Handle h);

// The ring append: a memory copy that never waits. `bytes` is whole TS packets; an append longer than
// the ring keeps only its last 2 MiB. One appending thread at a time (the multiplexer stage's lock).
void HttpTs_append(HttpTs_Handle h, const uint8_t *data, int bytes);

// The server as a consumer of the multiplexer stage: its ts() is the append.
Output *HttpTs_output(HttpTs_Handle h);

// Bytes appended since the server was created (counted in 64 bits).
uint64_t HttpTs_total(HttpTs_Handle h);

struct HttpTsStats {
    bool serverRunning;
    int clients;      // client threads streaming or about to
    uint64_t dropped; // clients let go because they took nothing for the send timeout
    uint64_t lapped;  // times a client fell a whole ring behind and was moved to the live edge
    uint64_t behind;  // times a client more than 2 s behind live was moved to the live edge
};
// Any thread.
HttpTsStats HttpTs_stats(HttpTs_Handle h);
