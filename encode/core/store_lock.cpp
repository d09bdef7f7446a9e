#include "encode/core/store_lock.h"

#include "encode/core/paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

StoreLock::StoreLock(int waitMs)
{
    std::string path = Path_resolve(STORE_LOCK_PATH);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0660);
    if (fd < 0) {
        return;
    }
    // The web user and the box's runner share the file: its mode is what matters, not the umask.
    ::fchmod(fd, 0660);
    // flock has no timed wait; a short poll keeps the bound without a signal or a thread.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

StoreLock::~StoreLock()
{
    if (fd_ >= 0) {
        ::close(fd_); // closing drops the flock
    }
}
