// Path resolution: every fixed absolute path of the system (/mnt, /tmp, /dev, /proc, the recording
// directory, the FIFOs) is given here as it stands on the appliance and resolved under ENCODE_ROOT when
// that variable is set, so that a whole instance can run inside a test directory.
#pragma once

#include <cstdint>

#include <string>
#include <string_view>

// The root directory ("" when ENCODE_ROOT is unset or empty), without a trailing slash.
std::string Path_root();

// True when ENCODE_ROOT is set: host-level side effects are then recorded instead of done.
bool Path_isRooted();

// "/mnt/ts.ini" -> "$ENCODE_ROOT/mnt/ts.ini". Relative paths are returned unchanged.
std::string Path_resolve(std::string_view systemPath);

// A fixed TCP port of the appliance (8888..8884, 7777, 9999..9995, 10000) shifted by ENCODE_PORT_OFFSET,
// so that tests and several instances can share one host. An offset that is no number, or that would
// leave 1..65535, counts as 0.
int Path_port(int fixedPort);

// The local address the TCP servers listen on, in host byte order: ENCODE_BIND_ADDRESS (a dotted
// quad, so that tests and a host shared with others can keep them on loopback) or every address.
uint32_t Path_bindAddress();
