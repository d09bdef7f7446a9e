// Owns the UDP destinations and the output semaphore. The main thread sets both up before any stage
// thread starts; afterwards the destinations are only read, by whichever thread holds the semaphore
// (writer or audio), so the semaphore is their lock too.
#include "encode/output/udp.h"

#include "encode/core/config_store.h"
#include "encode/core/output_switches.h"
#include "encode/core/status_board.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The fan-out's other consumers, registered by the HTTP TS server and the recorder. Read under the
// output semaphore by whichever thread fans out, written by the thread that starts the consumer.
std::atomic<TsOut_Sink> httpSink{nullptr};
std::atomic<TsOut_Sink> recorderSink{nullptr};

// Where datagram sockets come from; tests put a failing one here.
std::atomic<Udp_SocketFunction> socketCreate{::socket};

struct DestinationNames {
    const char *addrLine;
    const char *portLine;
    const char *parseError;
    const char *sendError;
};

const DestinationNames kNames[NET_DESTINATIONS] = {
    {"kavex->ipAddr:%s\n", "kavex->port:%d\n", "Error: self ip addr error!\n",
     "Error: udp send error! bytesSent = %d, errno = %d\n"},
    {"kavex->ipdAddr:%s\n", "kavex->dport:%d\n", "Error: d self ip addr error!\n",
     "Error: udp send d error! bytesSent = %d, errno = %d\n"},
    {"kavex->ipeAddr:%s\n", "kavex->eport:%d\n", "Error: self ip addr error!\n",
     "Error: udp send e error! bytesSent = %d, errno = %d\n"},
};

// Only the third destination may be a broadcast address.
constexpr int kBroadcastDestination = 2;

NetDestinations unused()
{
    NetDestinations d{};
    for (int &fd : d.fd) {
        fd = -1;
    }
    return d;
}

NetDestinations destinations = unused();

sem_t outputSem;
bool outputSemCreated = false;

// What the status says of each destination. The counters are bumped under the output semaphore by
// the sender and read by the status thread; a failure is printed once per run of failed sends (an
// unreachable destination fails every datagram).
struct DestinationStatus {
    int index = 0;
    int id = 0;
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<bool> failing{false};
    StatusError error;
};
DestinationStatus destinationStatus[NET_DESTINATIONS];

void reportDestination(const void *ctx, nlohmann::json &out)
{
    const auto &st = *static_cast<const DestinationStatus *>(ctx);
    out["kind"] = "udp";
    out["name"] = "UDP " + std::to_string(st.index + 1);
    out["target"] = std::string(destinations.addr[st.index]) + ":" + std::to_string(destinations.port[st.index]);
    out["state"] = st.failing.load(std::memory_order_relaxed) ? "error" : "ok";
    out["bytes"] = st.bytes.load(std::memory_order_relaxed);
    out["dropped"] = st.dropped.load(std::memory_order_relaxed);
    st.error.report(out);
}

void countSend(int i, ssize_t result, int chunk)
{
    DestinationStatus &st = destinationStatus[i];
    if (result == chunk) {
        st.bytes.fetch_add(static_cast<uint64_t>(chunk), std::memory_order_relaxed);
        st.failing.store(false, std::memory_order_relaxed);
        return;
    }
    st.dropped.fetch_add(1, std::memory_order_relaxed);
    if (!st.failing.exchange(true, std::memory_order_relaxed)) {
        char line[160];
        std::snprintf(line, sizeof line, kNames[i].sendError, static_cast<int>(result), errno);
        std::fputs(line, stderr);
        st.error.set(line);
    }
}

void copyAddress(char (&to)[NET_ADDRESS_CHARS + 1], const char *from)
{
    std::memset(to, 0, sizeof to);
    if (from == nullptr || std::strlen(from) > NET_ADDRESS_CHARS) {
        return;
    }
    std::memcpy(to, from, std::strlen(from));
}

} // namespace

NetDestinations NetDestinations_make(const char *addr1, int port1, const char *addr2, int port2,
                                     const char *addr3, int port3)
{
    NetDestinations d = unused();
    const char *addrs[NET_DESTINATIONS] = {addr1, addr2, addr3};
    const int ports[NET_DESTINATIONS] = {port1, port2, port3};
    for (int i = 0; i < NET_DESTINATIONS; i++) {
        if (ports[i] > 0) {
            copyAddress(d.addr[i], addrs[i]);
        }
        d.port[i] = ports[i];
    }
    return d;
}

void Udp_close()
{
    for (DestinationStatus &st : destinationStatus) {
        StatusBoard_remove(st.id);
        st.id = 0;
    }
    for (int &fd : destinations.fd) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
    destinations = unused();
}

int Udp_setup(const NetDestinations &dest)
{
    Udp_close();
    NetDestinations d = dest;
    for (int &fd : d.fd) {
        fd = -1;
    }

    int ttl = Config_readTtl();

    for (int i = 0; i < NET_DESTINATIONS; i++) {
        if (d.port[i] <= 0) {
            continue;
        }
        int fd = socketCreate.load()(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            destinations = d;
            Udp_close();
            return fd;
        }
        sockaddr_in &sa = d.sockAddr[i];
        std::memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(d.port[i]));

        std::printf(kNames[i].addrLine, d.addr[i]);
        std::printf(kNames[i].portLine, d.port[i]);

        if (i == kBroadcastDestination) {
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        }
        if (::inet_pton(AF_INET, d.addr[i], &sa.sin_addr) != 1) {
            std::fputs(kNames[i].parseError, stderr);
            ::close(fd);
            continue;
        }
        d.fd[i] = fd;
        if (ttl >= 0 && ttl <= 255) {
            unsigned char t = static_cast<unsigned char>(ttl);
            ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &t, sizeof t);
        }
    }
    std::fflush(stdout);
    destinations = d;
    for (int i = 0; i < NET_DESTINATIONS; i++) {
        if (d.fd[i] >= 0) {
            destinationStatus[i].index = i;
            destinationStatus[i].id = StatusBoard_add(StatusSection::Output, reportDestination, &destinationStatus[i]);
        }
    }
    return 1;
}

NetDestinations Udp_destinations()
{
    return destinations;
}

int OutputSem_create()
{
    if (outputSemCreated) {
        return 0;
    }
    if (::sem_init(&outputSem, 0, 1) != 0) {
        return -1;
    }
    outputSemCreated = true;
    return 0;
}

void OutputSem_wait()
{
    while (::sem_wait(&outputSem) != 0 && errno == EINTR) {
    }
}

void OutputSem_post()
{
    ::sem_post(&outputSem);
}

void OutputSem_destroy()
{
    if (outputSemCreated) {
        ::sem_destroy(&outputSem);
        outputSemCreated = false;
    }
}

void Udp_setSocketFunction(Udp_SocketFunction fn)
{
    socketCreate.store(fn != nullptr ? fn : ::socket);
}

void TsOut_setHttpSink(TsOut_Sink sink)
{
    httpSink.store(sink);
}

void TsOut_setRecorderSink(TsOut_Sink sink)
{
    recorderSink.store(sink);
}

bool TsOut_httpAvailable()
{
    return httpSink.load() != nullptr;
}

bool TsOut_recorderAvailable()
{
    return recorderSink.load() != nullptr;
}

bool TsOut_wanted()
{
    OutputSwitches sw = OutputSwitches_get();
    return sw.tsOff == 0 || (sw.tsRecord != 0 && TsOut_recorderAvailable());
}

int Udp_send(const uint8_t *data, int bytes)
{
    int whole = 0;
    for (int offset = 0; offset < bytes;) {
        int chunk = bytes - offset > UDP_DATAGRAM_BYTES ? UDP_DATAGRAM_BYTES : bytes - offset;
        for (int i = 0; i < NET_DESTINATIONS; i++) {
            int fd = destinations.fd[i];
            if (fd < 0) {
                continue;
            }
            ssize_t sent = ::sendto(fd, data + offset, static_cast<size_t>(chunk), 0,
                                    reinterpret_cast<const sockaddr *>(&destinations.sockAddr[i]),
                                    sizeof destinations.sockAddr[i]);
            whole += sent == chunk ? 1 : 0;
            countSend(i, sent, chunk);
        }
        offset += chunk;
    }
    return whole;
}

void TsOut_fanOut(const uint8_t *data, int bytes)
{
    if (data == nullptr || bytes <= 0) {
        return;
    }
    OutputSwitches sw = OutputSwitches_get();
    if (!sw.tsOff) {
        if (sw.httpTs) {
            if (TsOut_Sink http = httpSink.load()) {
                http(data, bytes);
            }
        } else {
            Udp_send(data, bytes);
        }
    }
    TsOut_Sink recorder = recorderSink.load();
    if (sw.tsRecord && recorder != nullptr) {
        recorder(data, bytes);
    }
}
