// Register access to the board's chips over the Linux i2c-dev interface (bus 1, SMBus byte data, the
// slave address forced even where a kernel driver holds the chip), and the capture chip's colour set-up
// from /mnt/color.ini.
//
// Every access opens the bus, does its one transfer (two with read-back) and closes it again, so any
// thread may call these at any time without sharing state with another caller.
#pragma once

// The accesses' answers besides a register value (0..255): 0 for success, a named code per failure.
enum I2cStatus : int {
    I2c_EOK = 0,
    I2c_EBUS = -1,    // the bus cannot be opened, queried or addressed, or the transfer failed
    I2c_EREAD = -2,   // the read transfer failed
    I2c_ENOFILE = -1, // colorConfig: /mnt/color.ini is missing
};

// Writes one byte. With verify 1 the register is read back: the read-back value is returned (a failed
// read gives its negative result). Without verify: the transfer result (0 or above), I2c_EBUS on failure.
// Only the low 8 bits of value reach the chip; the read-back is compared with value itself.
int i2cSetRegister(int chip, int reg, int value, int verify);

// The register's value 0..255; I2c_EBUS when the bus cannot be opened, queried or addressed;
// I2c_EREAD when the read transfer fails.
int i2cGetRegister(int chip, int reg);

// Applies /mnt/color.ini to the capture chip (0x5C, registers 0x08..0x0D). I2c_EOK when applied, when a
// value lies outside 0..256 (nothing written) or on boards with /mnt/ra101.ini; I2c_ENOFILE when the
// file is missing.
int colorConfig();

// The seam under the register access: the three kernel calls it makes. Tests install a transport that
// answers from a chip map; nullptr puts the kernel back. Not meant to be switched while a thread is
// inside an access.
struct I2cTransport {
    int (*open)(const char *path, int flags);
    int (*ioctl)(int fd, unsigned long request, void *arg);
    int (*close)(int fd);
};
void I2c_setTransport(const I2cTransport *transport);
