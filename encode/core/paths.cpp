// Owns the one rule by which system paths move under ENCODE_ROOT. Read on every call (never cached) so
// that a test program may point successive cases at fresh roots; no caller uses it on a per-frame path.
#include "encode/core/paths.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>

std::string Path_root()
{
    const char *root = std::getenv("ENCODE_ROOT");
    if (root == nullptr || root[0] == '\0') {
        return {};
    }
    std::string r(root);
    while (r.size() > 1 && r.back() == '/') {
        r.pop_back();
    }
    return r;
}

bool Path_isRooted()
{
    return !Path_root().empty();
}

std::string Path_resolve(std::string_view systemPath)
{
    if (systemPath.empty() || systemPath.front() != '/') {
        return std::string(systemPath);
    }
    return Path_root() + std::string(systemPath);
}

int Path_port(int fixedPort)
{
    const char *text = std::getenv("ENCODE_PORT_OFFSET");
    if (text == nullptr || *text == '\0') {
        return fixedPort;
    }
    char *end = nullptr;
    long offset = std::strtol(text, &end, 10);
    long port = fixedPort + offset;
    if (*end != '\0' || port < 1 || port > 65535) {
        return fixedPort;
    }
    return static_cast<int>(port);
}

uint32_t Path_bindAddress()
{
    const char *text = std::getenv("ENCODE_BIND_ADDRESS");
    in_addr address{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &address) != 1) {
        return INADDR_ANY;
    }
    return ntohl(address.s_addr);
}
