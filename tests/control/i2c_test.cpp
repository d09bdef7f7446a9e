// Register access and the colour set-up, run against a fake bus that answers the i2c-dev requests from
// a chip map: the real request sequence (open, I2C_FUNCS, I2C_SLAVE_FORCE, I2C_SMBUS) is exercised.
#include "encode/control/i2c.h"

#include "tests/support/temp_root.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

struct FakeBus {
    bool devfsNode = false;    // /dev/i2c/1 exists
    bool plainNode = true;     // /dev/i2c-1 exists
    int openErrno = ENOENT;    // errno for a node that does not open
    bool funcsFail = false;
    unsigned long funcs = I2C_FUNC_SMBUS_READ_BYTE_DATA | I2C_FUNC_SMBUS_WRITE_BYTE_DATA;
    bool addressFails = false;
    bool readFails = false;
    bool writeFails = false;
    std::map<std::pair<int, int>, int> regs;
    std::vector<std::pair<int, int>> writes; // (chip<<8|reg, value) in order
    std::vector<std::string> opened;
    int address = -1;
    int openCount = 0;
    int closeCount = 0;
};

FakeBus *bus = nullptr;
constexpr int kFd = 77;

bool endsWith(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int fakeOpen(const char *path, int)
{
    std::string p(path);
    bus->opened.push_back(p);
    bool present = (endsWith(p, "/dev/i2c/1") && bus->devfsNode) || (endsWith(p, "/dev/i2c-1") && bus->plainNode);
    if (!present) {
        errno = endsWith(p, "/dev/i2c/1") ? ENOENT : bus->openErrno;
        return -1;
    }
    bus->openCount++;
    return kFd;
}

int fakeIoctl(int fd, unsigned long request, void *arg)
{
    EXPECT_EQ(fd, kFd);
    if (request == I2C_FUNCS) {
        if (bus->funcsFail) {
            errno = EIO;
            return -1;
        }
        *static_cast<unsigned long *>(arg) = bus->funcs;
        return 0;
    }
    if (request == I2C_SLAVE_FORCE) {
        if (bus->addressFails) {
            errno = EBUSY;
            return -1;
        }
        bus->address = static_cast<int>(reinterpret_cast<unsigned long>(arg));
        return 0;
    }
    if (request == I2C_SMBUS) {
        auto *a = static_cast<i2c_smbus_ioctl_data *>(arg);
        EXPECT_EQ(a->size, static_cast<__u32>(I2C_SMBUS_BYTE_DATA));
        auto key = std::make_pair(bus->address, static_cast<int>(a->command));
        if (a->read_write == I2C_SMBUS_WRITE) {
            if (bus->writeFails) {
                errno = ENXIO;
                return -1;
            }
            bus->regs[key] = a->data->byte;
            bus->writes.emplace_back((bus->address << 8) | a->command, a->data->byte);
            return 0;
        }
        if (bus->readFails) {
            errno = ENXIO;
            return -1;
        }
        a->data->byte = static_cast<__u8>(bus->regs.count(key) ? bus->regs[key] : 0);
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

int fakeClose(int fd)
{
    EXPECT_EQ(fd, kFd);
    bus->closeCount++;
    return 0;
}

const I2cTransport kFake = {fakeOpen, fakeIoctl, fakeClose};

class I2cTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus = &fake;
        I2c_setTransport(&kFake);
    }
    void TearDown() override
    {
        I2c_setTransport(nullptr);
        bus = nullptr;
    }
    FakeBus fake;
};

} // namespace

TEST_F(I2cTest, WriteWithReadBackReturnsTheChipValue)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cSetRegister(0x35, 0x02, 0x10, 1), 0x10);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(fake.address, 0x35);
    EXPECT_EQ((fake.regs[{0x35, 0x02}]), 0x10);
    EXPECT_EQ(fake.openCount, 1);
    EXPECT_EQ(fake.closeCount, 1);
    // devfs layout first, then the plain node.
    ASSERT_EQ(fake.opened.size(), 2u);
    EXPECT_TRUE(endsWith(fake.opened[0], "/dev/i2c/1"));
    EXPECT_TRUE(endsWith(fake.opened[1], "/dev/i2c-1"));
}

TEST_F(I2cTest, DevfsNodeIsUsedWhenPresent)
{
    fake.devfsNode = true;
    EXPECT_EQ(i2cSetRegister(0x18, 0x08, 0xC0, 0), 0);
    ASSERT_EQ(fake.opened.size(), 1u);
    EXPECT_TRUE(endsWith(fake.opened[0], "/dev/i2c/1"));
}

TEST_F(I2cTest, ReadBackProblemsAreWarningsNotFailures)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cSetRegister(0x5C, 0x08, 256, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning - data mismatch - wrote 0x100, read back 0x00\n");
    EXPECT_EQ((fake.regs[{0x5C, 0x08}]), 0);

    fake.readFails = true;
    testing::internal::CaptureStderr();
    EXPECT_LT(i2cSetRegister(0x5C, 0x09, 7, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning - readback failed\n");
    EXPECT_EQ((fake.regs[{0x5C, 0x09}]), 7); // the write itself went through
}

TEST_F(I2cTest, FailedWriteIsSilentMinusOne)
{
    fake.writeFails = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cSetRegister(0x18, 0x03, 0x92, 1), I2c_EBUS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(fake.closeCount, 1);
}

TEST_F(I2cTest, ReadGivesValueOrMinusTwo)
{
    fake.regs[{0x23, 0x64}] = 0x83;
    EXPECT_EQ(i2cGetRegister(0x23, 0x64), 0x83);
    fake.readFails = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cGetRegister(0x23, 0x64), I2c_EREAD);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Read failed\n");
    EXPECT_EQ(fake.closeCount, 2);
}

TEST_F(I2cTest, BusSetUpFailuresAreMinusOneWithTheirLines)
{
    fake.plainNode = false;
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cGetRegister(0x23, 0x64), I2c_EBUS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Could not open file `/dev/i2c-1' or `/dev/i2c/1': No such file or directory\n");

    fake.openErrno = EACCES;
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cSetRegister(0x23, 0x64, 1, 0), I2c_EBUS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Could not open file `/dev/i2c-1': Permission denied\nRun as root?\n");
    fake.plainNode = true;

    fake.funcsFail = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cGetRegister(0x23, 0x64), I2c_EBUS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Could not get the adapter functionality matrix: Input/output error\n");
    fake.funcsFail = false;

    fake.funcs = I2C_FUNC_SMBUS_WRITE_BYTE_DATA;
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cSetRegister(0x23, 0x64, 1, 0), I2c_EBUS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Adapter does not have SMBus read byte capability\n");
    fake.funcs = I2C_FUNC_SMBUS_READ_BYTE_DATA;

    fake.addressFails = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cGetRegister(0x5C, 0x08), I2c_EBUS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Could not set address to 0x5c: Device or resource busy\n");
    EXPECT_TRUE(fake.writes.empty());
    EXPECT_EQ(fake.openCount, fake.closeCount);
}

TEST_F(I2cTest, KernelTransportReportsMissingBusUnderTheRoot)
{
    I2c_setTransport(nullptr);
    TempRoot root;
    testing::internal::CaptureStderr();
    EXPECT_EQ(i2cGetRegister(0x23, 0x64), I2c_EBUS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Could not open file `/dev/i2c-1' or `/dev/i2c/1': No such file or directory\n");
}

TEST_F(I2cTest, ColorConfigWritesTheSixRegistersInFileOrder)
{
    TempRoot root;
    root.write("/mnt/color.ini", "128 128 128 0 0 0");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(colorConfig(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rgb contrast=128,128,128,brightness=0,0,0\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::vector<std::pair<int, int>> expected = {{0x5C08, 0x80}, {0x5C09, 0x80}, {0x5C0A, 0x80},
                                                 {0x5C0B, 0}, {0x5C0C, 0}, {0x5C0D, 0}};
    EXPECT_EQ(fake.writes, expected);
}

TEST_F(I2cTest, ColorConfigWrites256AsZeroAndReportsTheMismatch)
{
    TempRoot root;
    root.write("/mnt/color.ini", "256 1 2 3 4 5\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(colorConfig(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning - data mismatch - wrote 0x100, read back 0x00\n");
    ASSERT_EQ(fake.writes.size(), 6u);
    EXPECT_EQ(fake.writes[0], std::make_pair(0x5C08, 0));
    EXPECT_EQ(fake.writes[5], std::make_pair(0x5C0D, 5));
}

TEST_F(I2cTest, ColorConfigOutOfRangeOrShortWritesNothing)
{
    TempRoot root;
    for (const char *content : {"128 128 257 0 0 0", "128 128 128 0 0", "-1 0 0 0 0 0", "", "garbage"}) {
        root.write("/mnt/color.ini", content);
        testing::internal::CaptureStdout();
        EXPECT_EQ(colorConfig(), 0) << content;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << content;
    }
    EXPECT_TRUE(fake.writes.empty());
    EXPECT_EQ(fake.openCount, 0);
}

TEST_F(I2cTest, ColorConfigMissingFileAndRa101Board)
{
    TempRoot root;
    testing::internal::CaptureStdout();
    EXPECT_EQ(colorConfig(), I2c_ENOFILE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    root.write("/mnt/color.ini", "128 128 128 0 0 0");
    root.write("/mnt/ra101.ini", "2");
    testing::internal::CaptureStdout();
    EXPECT_EQ(colorConfig(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ra101 or ra202, exit\n");
    EXPECT_TRUE(fake.writes.empty());
}
