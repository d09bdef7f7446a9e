// Chip register access over i2c-dev. Stateless apart from the transport pointer: each call owns its
// descriptor for its own duration, which is what lets the capture thread's colour set-up and the HDMI
// audio supervisor run side by side. Messages follow the i2c tools the board's support scripts were
// written against, so a log reads the same whether a register was set by us or by hand.
#include "encode/control/i2c.h"

#include "encode/core/config_store.h"
#include "encode/core/paths.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kBus = 1;
constexpr int kColorChip = 0x5C;
constexpr int kColorFirstRegister = 0x08;
constexpr int kColorValues = 6;

int kernelOpen(const char *path, int flags)
{
    return ::open(path, flags);
}

int kernelIoctl(int fd, unsigned long request, void *arg)
{
    return ::ioctl(fd, request, arg);
}

int kernelClose(int fd)
{
    return ::close(fd);
}

const I2cTransport kKernel = {kernelOpen, kernelIoctl, kernelClose};
std::atomic<const I2cTransport *> transport{&kKernel};

const I2cTransport &io()
{
    return *transport.load(std::memory_order_acquire);
}

// Closes the bus on every way out of an access.
class Bus {
public:
    explicit Bus(int fd) : fd_(fd) {}
    ~Bus()
    {
        if (fd_ >= 0) {
            io().close(fd_);
        }
    }
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// /dev/i2c/N (devfs layout) first, then /dev/i2c-N. -1 after printing why.
int openBus()
{
    char name[32];
    std::snprintf(name, sizeof name, "/dev/i2c/%d", kBus);
    int fd = io().open(Path_resolve(name).c_str(), O_RDWR);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        std::snprintf(name, sizeof name, "/dev/i2c-%d", kBus);
        fd = io().open(Path_resolve(name).c_str(), O_RDWR);
    }
    if (fd >= 0) {
        return fd;
    }
    int err = errno;
    if (err == ENOENT) {
        std::fprintf(stderr, "Error: Could not open file `/dev/i2c-%d' or `/dev/i2c/%d': %s\n", kBus, kBus,
                     std::strerror(ENOENT));
    } else {
        std::fprintf(stderr, "Error: Could not open file `%s': %s\n", name, std::strerror(err));
        if (err == EACCES) {
            std::fprintf(stderr, "Run as root?\n");
        }
    }
    return I2c_EBUS;
}

// Functionality check and forced slave address: I2c_EBUS after printing why.
int prepareBus(int fd, int chip)
{
    unsigned long funcs = 0;
    if (io().ioctl(fd, I2C_FUNCS, &funcs) < 0) {
        std::fprintf(stderr, "Error: Could not get the adapter functionality matrix: %s\n", std::strerror(errno));
        return I2c_EBUS;
    }
    if ((funcs & I2C_FUNC_SMBUS_READ_BYTE_DATA) == 0) {
        std::fprintf(stderr, "Error: Adapter does not have %s capability\n", "SMBus read byte");
        return I2c_EBUS;
    }
    if (io().ioctl(fd, I2C_SLAVE_FORCE, reinterpret_cast<void *>(static_cast<unsigned long>(chip))) < 0) {
        std::fprintf(stderr, "Error: Could not set address to 0x%02x: %s\n", chip, std::strerror(errno));
        return I2c_EBUS;
    }
    return I2c_EOK;
}

int smbusAccess(int fd, char readWrite, int reg, i2c_smbus_data *data)
{
    i2c_smbus_ioctl_data args{};
    args.read_write = readWrite;
    args.command = static_cast<__u8>(reg);
    args.size = I2C_SMBUS_BYTE_DATA;
    args.data = data;
    return io().ioctl(fd, I2C_SMBUS, &args);
}

// The register's value, or a negative transfer result.
int readByteData(int fd, int reg)
{
    i2c_smbus_data data{};
    int r = smbusAccess(fd, I2C_SMBUS_READ, reg, &data);
    if (r < 0) {
        return r;
    }
    return data.byte & 0xFF;
}

} // namespace

void I2c_setTransport(const I2cTransport *t)
{
    transport.store(t != nullptr ? t : &kKernel, std::memory_order_release);
}

int i2cSetRegister(int chip, int reg, int value, int verify)
{
    Bus bus(openBus());
    if (bus.fd() < 0 || prepareBus(bus.fd(), chip) != I2c_EOK) {
        return I2c_EBUS;
    }
    i2c_smbus_data data{};
    data.byte = static_cast<__u8>(value & 0xFF);
    int result = smbusAccess(bus.fd(), I2C_SMBUS_WRITE, reg, &data);
    if (result < 0) {
        return I2c_EBUS;
    }
    if (!verify) {
        return result;
    }
    result = readByteData(bus.fd(), reg);
    if (result < 0) {
        std::fprintf(stderr, "Warning - readback failed\n");
    } else if (result != value) {
        std::fprintf(stderr, "Warning - data mismatch - wrote 0x%0*x, read back 0x%0*x\n", 2, value, 2, result);
    }
    return result;
}

int i2cGetRegister(int chip, int reg)
{
    Bus bus(openBus());
    if (bus.fd() < 0 || prepareBus(bus.fd(), chip) != I2c_EOK) {
        return I2c_EBUS;
    }
    int result = readByteData(bus.fd(), reg);
    if (result < 0) {
        std::fprintf(stderr, "Error: Read failed\n");
        return I2c_EREAD;
    }
    return result;
}

int colorConfig()
{
    struct stat st {};
    if (::stat(Path_resolve("/mnt/ra101.ini").c_str(), &st) == 0) {
        std::printf("ra101 or ra202, exit\n");
        return I2c_EOK;
    }
    int v[kColorValues] = {-1, -1, -1, -1, -1, -1};
    if (Config_readRecord("/mnt/color.ini", v, kRecordLimitColor) == Config_ENOFILE) {
        return I2c_ENOFILE;
    }
    for (int x : v) {
        if (x < 0 || x > 256) {
            return I2c_EOK;
        }
    }
    std::printf("rgb contrast=%d,%d,%d,brightness=%d,%d,%d\n", v[0], v[1], v[2], v[3], v[4], v[5]);
    std::fflush(stdout);
    // Results are not acted upon: a chip that does not answer leaves the colour as it was, which is
    // no reason to stop capturing.
    for (int i = 0; i < kColorValues; i++) {
        i2cSetRegister(kColorChip, kColorFirstRegister + i, v[i], 1);
    }
    return I2c_EOK;
}
