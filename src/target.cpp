#include "target.hpp"
#include "output.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

namespace {

constexpr int k_default_port = 27960;

/// Reads a number the way atoi does, but clamped to the int range instead of wrapping, so
/// that a huge port is 65535 and a hugely negative one 0.
int port_from_text(const char *text)
{
    const long number = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX));
}

/// A port is the low 16 bits of the number given.
in_port_t wire_port(int port) { return htons(static_cast<std::uint16_t>(port)); }

void set_v4(target &found, in_addr_t address, int port)
{
    found.address.v4.sin_family = AF_INET;
    found.address.v4.sin_port = wire_port(port);
    found.address.v4.sin_addr.s_addr = address;
    found.length = sizeof found.address.v4;
}

void set_v6(target &found, const sockaddr_in6 &address, int port)
{
    found.address.v6 = address;
    found.address.v6.sin6_port = wire_port(port);
    found.length = sizeof found.address.v6;
}

/// Reads an IPv6 address, with an optional %scope (an interface's name or number), into
/// `address`. Returns 0, or 1 when `text` is no such address.
int read_v6(char *text, sockaddr_in6 &address)
{
    address = {};
    address.sin6_family = AF_INET6;
    char *percent = std::strchr(text, '%');
    if (percent != nullptr) *percent = '\0';
    const int parsed = inet_pton(AF_INET6, text, &address.sin6_addr);
    if (percent == nullptr) return parsed == 1 ? 0 : 1;
    *percent = '%'; // the text is left as it was
    if (parsed != 1) return 1;
    const char *scope = percent + 1;
    char *end = nullptr;
    const unsigned long number = std::strtoul(scope, &end, 10);
    address.sin6_scope_id =
        *scope != '\0' && *end == '\0' ? static_cast<std::uint32_t>(number) : if_nametoindex(scope);
    return address.sin6_scope_id == 0 ? 1 : 0;
}

/// Finds the address of `host` for IPv4: a leading digit means numbers-and-dots, anything
/// else a name for the resolver; a name without an IPv4 address is looked up for IPv6.
/// Returns 0, or 1 after saying why not on standard output.
int find_address(const char *host, int port, target &found)
{
    if (host[0] >= '0' && host[0] <= '9') {
        const in_addr_t address = inet_addr(host);
        if (address == INADDR_NONE) // 255.255.255.255 is refused with the errors
            return say("Invalid IP address.\n", 1);
        set_v4(found, address, port);
        return 0;
    }
    if (const hostent *entry = gethostbyname(host);
        entry != nullptr && entry->h_addrtype == AF_INET && entry->h_addr_list[0] != nullptr) {
        in_addr_t address;
        std::memcpy(&address, entry->h_addr_list[0], sizeof address);
        set_v4(found, address, port);
        return 0;
    }
    addrinfo wanted{};
    wanted.ai_family = AF_INET6;
    wanted.ai_socktype = SOCK_DGRAM;
    addrinfo *answer = nullptr;
    if (getaddrinfo(host, nullptr, &wanted, &answer) != 0)
        return say("Unknown or invalid hostname.\n", 1);
    sockaddr_in6 address;
    std::memcpy(&address, answer->ai_addr, sizeof address);
    freeaddrinfo(answer);
    set_v6(found, address, port);
    return 0;
}

/// Finds the target of `[v6]` or `[v6]:port`, whose opening bracket `text` has passed.
int find_bracketed(char *text, target &found)
{
    char *closing = std::strchr(text, ']');
    const bool closed = closing != nullptr && (closing[1] == '\0' || closing[1] == ':');
    if (closed) *closing = '\0';
    sockaddr_in6 address;
    if (!closed || read_v6(text, address) != 0) return say("Invalid IP address.\n", 1);
    set_v6(found, address, closing[1] == ':' ? port_from_text(closing + 2) : k_default_port);
    return 0;
}

/// Whether `text` could be an IPv6 address as a whole: one has two colons at least. Keeps
/// the IPv6 parser off the path of every IPv4 target.
bool may_be_v6(const char *text)
{
    const char *colon = std::strchr(text, ':');
    return colon != nullptr && std::strchr(colon + 1, ':') != nullptr;
}

} // namespace

int find_target(char *text, target &found)
{
    if (text[0] == '[') return find_bracketed(text + 1, found);
    if (sockaddr_in6 address; may_be_v6(text) && read_v6(text, address) == 0) {
        set_v6(found, address, k_default_port);
        return 0;
    }
    int port = k_default_port;
    if (char *colon = std::strchr(text, ':')) {
        *colon = '\0'; // the host text ends at the first colon
        port = port_from_text(colon + 1);
    }
    return find_address(text, port, found);
}
