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
    // The web user and the box's runner (root) share the file, whichever made it: flock needs no
    // write access, so a file another user made is locked through a read, and the mode lets everyone
    // read it (it holds nothing).
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0664);
    if (fd >= 0) {
        ::fchmod(fd, 0664);
    } else {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        return;
    }
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
