// One writer at a time for the configuration store. Every program that changes files under /mnt (the
// settings, second-stream and timing programs, the JSON API, the token store, the box's runner when it
// seeds the store) holds this lock from the first read of a file it will rewrite to the last write, so
// that two clients changing settings at once never interleave their read-modify-write of one file and
// neither change is lost.
//
// The lock is an exclusive flock(2) on /tmp/store.lock (resolved under ENCODE_ROOT; a RAM disk on the
// box, since a lock needs no persistence). The kernel drops it when its holder dies, so a killed program
// never leaves the store locked. Readers take no lock: every writer replaces whole files.
#pragma once

inline constexpr char STORE_LOCK_PATH[] = "/tmp/store.lock";
inline constexpr int STORE_LOCK_WAIT_MS = 10000;

class StoreLock {
public:
    // Waits up to `waitMs` for the lock; held() says whether it was had. A program that cannot have
    // it must change nothing ("the settings are being changed by another client; try again").
    explicit StoreLock(int waitMs = STORE_LOCK_WAIT_MS);
    ~StoreLock();
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;

    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The one line a program prints when it could not have the lock.
inline constexpr char STORE_LOCK_BUSY[] = "the settings are being changed by another client; nothing changed, try again";
