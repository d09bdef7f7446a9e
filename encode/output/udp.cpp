// Owns the UDP destinations: their sockets, names and counters. After creation only the sending
// thread (whichever holds the multiplexer stage's lock) and the status thread (counters) touch them.
#include "encode/output/udp.h"
#include "encode/core/console.h"

#include "encode/core/config_store.h"
#include "encode/core/status_board.h"
#include "encode/media/media.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

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

// What the status says of one destination. The counters are bumped by the sender and read by the
// status thread; a failure is printed once per run of failed sends (an unreachable
// destination fails every datagram).
struct DestinationStatus {
    const NetDestinations *destinations = nullptr;
    int index = 0;
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> packets{0}; // datagrams sent, the unit "dropped" counts too
    std::atomic<uint64_t> dropped{0};
    std::atomic<bool> failing{false};
    StatusError error;
};

void reportDestination(const DestinationStatus &st, nlohmann::json &out)
{
    const NetDestinations &d = *st.destinations;
    out["kind"] = "udp";
    out["name"] = "UDP " + std::to_string(st.index + 1);
    out["target"] = std::string(d.addr[st.index]) + ":" + std::to_string(d.port[st.index]);
    out["state"] = st.failing.load(std::memory_order_relaxed) ? "error" : "ok";
    out["bytes"] = st.bytes.load(std::memory_order_relaxed);
    out["packets"] = st.packets.load(std::memory_order_relaxed);
    out["dropped"] = st.dropped.load(std::memory_order_relaxed);
    st.error.report(out);
}

void countSend(DestinationStatus &st, ssize_t result, int chunk)
{
    if (result == chunk) {
        st.bytes.fetch_add(static_cast<uint64_t>(chunk), std::memory_order_relaxed);
        st.packets.fetch_add(1, std::memory_order_relaxed);
        st.failing.store(false, std::memory_order_relaxed);
        return;
    }
    st.dropped.fetch_add(1, std::memory_order_relaxed);
    if (!st.failing.exchange(true, std::memory_order_relaxed)) {
        char line[160];
        std::snprintf(line, sizeof line, kNames[st.index].sendError, static_cast<int>(result), errno);
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

struct UdpOut_Object : Output {
    UdpOut_Attrs attrs{};
    NetDestinations destinations = unused(); // fixed once created
    DestinationStatus status[NET_DESTINATIONS];
    int used[NET_DESTINATIONS] = {}; // the destinations in use, in order
    int usedCount = 0;

    void ts(const uint8_t *data, int bytes) override { UdpOut_send(this, data, bytes); }
    bool wantsTs() const override { return attrs.sending; }
    int reports() const override { return usedCount; }
    void report(int index, nlohmann::json &out) const override { reportDestination(status[used[index]], out); }
    void stop() override { delete this; }

    ~UdpOut_Object()
    {
        for (int fd : destinations.fd) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

namespace {

using UdpOut = UdpOut_Object;

// The set-up of one destination in use: false when its socket cannot be created; a destination
// whose address does not parse is left unused.
bool setUpDestination(UdpOut &t, int i, int ttl)
{
    NetDestinations &d = t.destinations;
    int fd = t.attrs.socketFunction(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in &sa = d.sockAddr[i];
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(d.port[i]));

    Console_say(kNames[i].addrLine, d.addr[i]);
    Console_say(kNames[i].portLine, d.port[i]);

    if (i == kBroadcastDestination) {
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    if (::inet_pton(AF_INET, d.addr[i], &sa.sin_addr) != 1) {
        std::fputs(kNames[i].parseError, stderr);
        ::close(fd);
        return true;
    }
    d.fd[i] = fd;
    if (ttl >= 0 && ttl <= 255) {
        unsigned char t8 = static_cast<unsigned char>(ttl);
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &t8, sizeof t8);
    }
    return true;
}

// The datagrams to every destination in use.
void sendUdp(UdpOut &t, const uint8_t *data, int bytes)
{
    const NetDestinations &d = t.destinations;
    for (int offset = 0; offset < bytes;) {
        int chunk = bytes - offset > UDP_DATAGRAM_BYTES ? UDP_DATAGRAM_BYTES : bytes - offset;
        for (int i = 0; i < NET_DESTINATIONS; i++) {
            if (d.fd[i] < 0) {
                continue;
            }
            ssize_t sent = t.attrs.sendFunction(d.fd[i], data + offset, static_cast<size_t>(chunk), 0,
                                                reinterpret_cast<const sockaddr *>(&d.sockAddr[i]),
                                                sizeof d.sockAddr[i]);
            countSend(t.status[i], sent, chunk);
        }
        offset += chunk;
    }
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

UdpOut_Handle UdpOut_create(const UdpOut_Attrs *attrs)
{
    MEDIA_ASSERT(attrs != nullptr);
    std::unique_ptr<UdpOut> t(new (std::nothrow) UdpOut);
    if (t == nullptr) {
        return nullptr;
    }
    t->attrs = *attrs;
    if (t->attrs.socketFunction == nullptr) {
        t->attrs.socketFunction = ::socket;
    }
    if (t->attrs.sendFunction == nullptr) {
        t->attrs.sendFunction = ::sendto;
    }
    t->destinations = attrs->destinations;
    for (int &fd : t->destinations.fd) {
        fd = -1;
    }

    int ttl = Config_readTtl();
    for (int i = 0; i < NET_DESTINATIONS; i++) {
        if (t->destinations.port[i] > 0 && !setUpDestination(*t, i, ttl)) {
            return nullptr;
        }
    }
    for (int i = 0; i < NET_DESTINATIONS; i++) {
        t->status[i].destinations = &t->destinations;
        t->status[i].index = i;
        if (t->destinations.fd[i] >= 0) {
            t->used[t->usedCount++] = i;
        }
    }
    return t.release();
}

Output *UdpOut_output(UdpOut_Handle h)
{
    return h;
}

NetDestinations UdpOut_destinations(UdpOut_Handle h)
{
    MEDIA_ASSERT(h != nullptr);
    return h->destinations;
}

void UdpOut_send(UdpOut_Handle h, const uint8_t *data, int bytes)
{
    MEDIA_ASSERT(h != nullptr);
    if (data != nullptr && bytes > 0) {
        sendUdp(*h, data, bytes);
    }
}
