// HTTP transport-stream server: the TS fan-out appends every multiplexed frame to a 2 MiB ring, and a
// server on TCP port 10000 streams that ring to every client from the moment it connects, whatever
// path it asks for.
//
// Threads: the writer and audio threads append (through the fan-out, under the output semaphore); the
// server thread accepts; one thread per client copies 2048-byte steps out of the ring and sends them
// without waiting on a full socket. A client is judged by how far behind live it is (client_lag.h): one
// more than 2 s behind, or a whole ring behind, is moved to the live edge; one that has taken nothing
// for 3 s is dropped. None of the threads is ever joined. The ring and every shared word live in
// static storage for the life of the process, so no thread can find anything freed under it.
#pragma once

#include "encode/output/client_lag.h"

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

// Port 10000 shifted by ENCODE_PORT_OFFSET, on every local address.
HttpTsServerConfig HttpTs_defaultConfig();

// The server thread. `arg` is a HttpTsServerConfig, copied at once (null: the defaults). Registers the
// ring as the fan-out's HTTP sink, waits a second, listens and accepts forever. When the listening
// socket cannot be made it prints "Server exception!", asks for a reboot and returns.
void *httpTsThrFxn(void *arg);

// The writer's call after rvStart: the server thread started detached, with a copy of `config` (null:
// the defaults). 0, or -1 when the thread could not be created.
int HttpTs_start(const HttpTsServerConfig *config);

// The ring append, the fan-out's HTTP sink: a memory copy that never waits. `bytes` is whole TS
// packets; an append longer than the ring keeps only its last 2 MiB.
void HttpTs_append(const uint8_t *data, int bytes);

// Bytes appended since the process started (the writer's total, counted in 64 bits).
uint64_t HttpTs_total();

struct HttpTsStats {
    bool serverRunning;
    int clients;      // client threads streaming or about to
    uint64_t dropped; // clients let go because they took nothing for the send timeout
    uint64_t lapped;  // times a client fell a whole ring behind and was moved to the live edge
    uint64_t behind;  // times a client more than 2 s behind live was moved to the live edge
};
HttpTsStats HttpTs_stats();

// Ends the server and every client thread: the accept is woken, each client leaves at its next turn
// (within a tenth of a second; one still answering its request within the send timeout). The HTTP
// sink is unregistered. True when every thread had ended within `timeoutMs`. For tests, benchmarks
// and a shutdown that wants its sockets back.
bool HttpTs_stop(int timeoutMs);

// The ring back to empty and the counters to 0. Only while no server runs and nothing appends (tests).
// False (and nothing done) while a server or client thread is alive.
bool HttpTs_reset();
