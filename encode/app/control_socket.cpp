// The control socket. Its thread alone reads the socket; it sleeps in poll with a short tick so that
// the stop's flag is seen, and it touches the key-frame requests only through their atomics.
#include "encode/app/control_socket.h"

#include "encode/core/console.h"
#include "encode/core/paths.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr const char *kPath = "/tmp/encode.ctl";
constexpr int kTickMs = 200;

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

struct ControlSocket_Object {
    KeyRequest *requests = nullptr;
    std::string path;
    int fd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<unsigned long> taken{0};
    bool refusing = false; // in a run of unknown requests (its line printed)
};

namespace {

// One request; false when it is none of ours.
bool handle(ControlSocket_Object *h, std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    int stream = line == "keyframe main" ? 0 : line == "keyframe second" ? 1 : -1;
    if (stream < 0) {
        return false;
    }
    if (KeyRequest_ask(h->requests[stream], nowMs())) {
        h->taken.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

void serve(ControlSocket_Object *h)
{
    char buf[256];
    while (!h->stopping.load(std::memory_order_acquire)) {
        pollfd p{h->fd, POLLIN, 0};
        if (::poll(&p, 1, kTickMs) <= 0) {
            continue;
        }
        ssize_t n = ::recv(h->fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            continue;
        }
        bool ours = n <= static_cast<ssize_t>(sizeof buf) && handle(h, std::string_view(buf, static_cast<size_t>(n)));
        if (!ours && !h->refusing) {
            Console_say("encode.ctl: a request that is no keyframe main or keyframe second ignored\n");
        }
        h->refusing = !ours;
    }
}

} // namespace

ControlSocket_Handle ControlSocket_start(KeyRequest *requests)
{
    auto h = std::unique_ptr<ControlSocket_Object>(new (std::nothrow) ControlSocket_Object);
    if (h == nullptr) {
        return nullptr;
    }
    h->requests = requests;
    h->path = Path_resolve(kPath);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (h->path.size() >= sizeof a.sun_path) {
        Console_say("encode.ctl: the path %s is too long for a socket, no control socket\n", h->path.c_str());
        return nullptr;
    }
    std::memcpy(a.sun_path, h->path.c_str(), h->path.size() + 1);
    h->fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ::unlink(h->path.c_str()); // a socket left by a run that ended without its stop
    if (h->fd < 0 || ::bind(h->fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        Console_say("encode.ctl: cannot make the control socket (%s), no control socket\n", std::strerror(errno));
        if (h->fd >= 0) {
            ::close(h->fd);
        }
        return nullptr;
    }
    ::chmod(h->path.c_str(), 0666);
    try {
        h->thread = std::thread(serve, h.get());
    } catch (...) {
        Console_say("encode.ctl: cannot start its thread, no control socket\n");
        ::close(h->fd);
        ::unlink(h->path.c_str());
        return nullptr;
    }
    return h.release();
}

void ControlSocket_stop(ControlSocket_Handle h)
{
    if (h == nullptr) {
        return;
    }
    h->stopping.store(true, std::memory_order_release);
    h->thread.join();
    ::close(h->fd);
    ::unlink(h->path.c_str());
    delete h;
}

unsigned long ControlSocket_taken(ControlSocket_Handle h)
{
    return h != nullptr ? h->taken.load(std::memory_order_relaxed) : 0;
}
