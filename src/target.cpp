// The host text made into an address and port: IPv4, IPv6 in brackets or whole, or a name.
#include "target.hpp"
#include "output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

namespace {

constexpr int k_default_port = 27960;
constexpr long k_port_max = 65535;
constexpr long k_decimal_base = 10;
/// Room for a message that names what the command line said.
constexpr std::size_t k_message_size = 256;

/// Says the message that snprintf laid out in `message`, `length` bytes, cut to its room.
/// Returns 1.
int say_laid_out(std::span<const char> message, int length)
{
    return say({message.data(), std::min(static_cast<std::size_t>(length), message.size() - 1)}, 1);
}

/// Reads the port in `text`, which is decimal digits and nothing else. Returns it, or 0 after
/// saying on standard output that `text` holds no port from 1 to 65535: a mistyped port
/// (27960x) or one that wrapped would send the password, in clear, to another service.
int read_port(const char *text)
{
    long number = 0;
    const char *digit = text;
    for (; *digit >= '0' && *digit <= '9' && number <= k_port_max; ++digit)
        number = number * k_decimal_base + (*digit - '0');
    if (digit != text && *digit == '\0' && number >= 1 && number <= k_port_max)
        return static_cast<int>(number);
    std::array<char, k_message_size> message;
    say_laid_out(message, std::snprintf(message.data(), message.size(),
                                        "Invalid port \"%s\": ports are 1 to 65535.\n", text));
    return 0;
}

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
    if (std::strchr(scope, ':') != nullptr) return 1; // an interface's alias, or a port
    char *end = nullptr;
    errno = 0;
    const unsigned long number = std::strtoul(scope, &end, 10);
    if (*scope != '\0' && *end == '\0' && (errno != 0 || number > UINT32_MAX))
        return 1; // it would wrap to another scope
    address.sin6_scope_id =
        *scope != '\0' && *end == '\0' ? static_cast<std::uint32_t>(number) : if_nametoindex(scope);
    return address.sin6_scope_id == 0 ? 1 : 0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool has_letter(const char *text)
{
    for (; *text != '\0'; ++text)
        if ((*text | ' ') >= 'a' && (*text | ' ') <= 'z') return true;
    return false;
}

/// Looks `name` up for IPv4 first and for IPv6 only when it has no IPv4 address. When
/// `numeric`, it began with a digit: its failure, or the broadcast address, is an invalid
/// address. Returns 0, or after saying why not on standard output 1 or, for a name that does
/// not resolve, k_does_not_resolve.
int look_up(const char *name, int port, bool numeric, target &found)
{
    if (const hostent *entry = gethostbyname(name);
        entry != nullptr && entry->h_addrtype == AF_INET && entry->h_addr_list[0] != nullptr) {
        in_addr_t address;
        std::memcpy(&address, entry->h_addr_list[0], sizeof address);
        if (numeric && address == INADDR_NONE) return say("Invalid IP address.\n", 1);
        set_v4(found, address, port);
        return 0;
    }
    addrinfo wanted{};
    wanted.ai_family = AF_INET6;
    wanted.ai_socktype = SOCK_DGRAM;
    addrinfo *answer = nullptr;
    if (getaddrinfo(name, nullptr, &wanted, &answer) != 0)
        return numeric ? say("Invalid IP address.\n", 1)
                       : say("Unknown or invalid hostname.\n", k_does_not_resolve);
    sockaddr_in6 address;
    std::memcpy(&address, answer->ai_addr, sizeof address);
    freeaddrinfo(answer);
    set_v6(found, address, port);
    return 0;
}

/// Finds the address of `host`: a leading digit means numbers-and-dots, or, when it is none
/// but holds a letter (1e100.net), a name; anything else is a name.
/// Returns 0, or 1 after saying why not on standard output.
int find_address(const char *host, int port, target &found)
{
    if (!is_digit(host[0])) return look_up(host, port, false, found);
    // the usual four numbers read without inet_addr: its older forms (127.1, 0x7f.0.0.1) bring
    // strtoul and its tables into every run's start, and take the same four numbers alike
    in_addr four{};
    const in_addr_t address = inet_pton(AF_INET, host, &four) == 1 ? four.s_addr : inet_addr(host);
    if (address != INADDR_NONE) {
        set_v4(found, address, port);
        return 0;
    }
    // 255.255.255.255 is refused with the errors, and so is a text no name could be
    if (!has_letter(host)) return say("Invalid IP address.\n", 1);
    return look_up(host, port, true, found);
}

/// Finds the target of `[v6]` or `[v6]:port`, whose opening bracket `text` has passed.
int find_bracketed(char *text, target &found)
{
    char *closing = std::strchr(text, ']');
    const bool closed = closing != nullptr && (closing[1] == '\0' || closing[1] == ':');
    if (closed) *closing = '\0';
    sockaddr_in6 address;
    if (!closed || read_v6(text, address) != 0) return say("Invalid IP address.\n", 1);
    const int port = closing[1] == ':' ? read_port(closing + 2) : k_default_port;
    if (port == 0) return 1;
    set_v6(found, address, port);
    return 0;
}

/// Whether `text` could be an IPv6 address as a whole: one has two colons at least. Keeps
/// the IPv6 parser off the path of every IPv4 target.
bool may_be_v6(const char *text)
{
    const char *colon = std::strchr(text, ':');
    return colon != nullptr && std::strchr(colon + 1, ':') != nullptr;
}

/// Says that `text`, an IPv6 address, a colon and a port, wants brackets, if it is that.
/// Returns 1 when it said so, or 0.
int refuse_unbracketed_port(char *text)
{
    char *colon = std::strrchr(text, ':');
    *colon = '\0';
    sockaddr_in6 address;
    const bool v6_and_port = read_v6(text, address) == 0;
    if (v6_and_port) {
        std::array<char, k_message_size> message;
        say_laid_out(message,
                     std::snprintf(message.data(), message.size(),
                                   "A port after an IPv6 address needs brackets: [%s]:%s\n", text,
                                   colon + 1));
    }
    *colon = ':';
    return v6_and_port ? 1 : 0;
}

} // namespace

int find_target(char *text, target &found)
{
    if (text[0] == '[') return find_bracketed(text + 1, found);
    if (may_be_v6(text)) {
        if (sockaddr_in6 address; read_v6(text, address) == 0) {
            set_v6(found, address, k_default_port);
            return 0;
        }
        if (refuse_unbracketed_port(text) != 0) return 1;
        if (std::strchr(text, '%') != nullptr) return say("Invalid IP address.\n", 1);
    }
    int port = k_default_port;
    if (char *colon = std::strchr(text, ':')) {
        *colon = '\0'; // the host text ends at the first colon
        if ((port = read_port(colon + 1)) == 0) return 1;
    }
    return find_address(text, port, found);
}

namespace {

/// Writes an IPv4 `to` as text_of does, laid out by hand: formatted printing (inet_ntop's too)
/// would bring its code into the start of every run that keeps its servers' allowance.
const char *text_of_v4(const target &to, target_text &room)
{
    std::array<unsigned char, sizeof(in_addr)> bytes;
    std::memcpy(bytes.data(), &to.address.v4.sin_addr, bytes.size());
    char *at = room.data();
    char *const end = room.data() + room.size();
    for (const unsigned char byte : bytes) {
        at = std::to_chars(at, end, byte).ptr;
        *at++ = '.';
    }
    at[-1] = ':';
    *std::to_chars(at, end, ntohs(to.address.v4.sin_port)).ptr = '\0';
    return room.data();
}

} // namespace

const char *text_of(const target &to, target_text &room)
{
    if (to.family() == AF_INET) return text_of_v4(to, room);
    std::array<char, INET6_ADDRSTRLEN> host{};
    inet_ntop(AF_INET6, &to.address.v6.sin6_addr, host.data(), host.size());
    std::snprintf(room.data(), room.size(), "[%s]:%d", host.data(), ntohs(to.address.v6.sin6_port));
    return room.data();
}

namespace {

/// A target as it is compared: an IPv4-mapped IPv6 address is its IPv4 address.
struct compared {
    int family;
    in_port_t port;
    const unsigned char *address;
    std::size_t size;
};

compared compared_form(const target &to)
{
    if (to.family() != AF_INET6)
        return {AF_INET, ntohs(to.address.v4.sin_port),
                reinterpret_cast<const unsigned char *>(&to.address.v4.sin_addr), sizeof(in_addr)};
    const auto *bytes = reinterpret_cast<const unsigned char *>(&to.address.v6.sin6_addr);
    const in_port_t port = ntohs(to.address.v6.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&to.address.v6.sin6_addr))
        return {AF_INET, port, bytes + sizeof(in6_addr) - sizeof(in_addr), sizeof(in_addr)};
    return {AF_INET6, port, bytes, sizeof(in6_addr)};
}

} // namespace

int compare_targets(const target &a, const target &b)
{
    const compared x = compared_form(a);
    const compared y = compared_form(b);
    if (x.family != y.family) return x.family < y.family ? -1 : 1;
    if (x.port != y.port) return x.port < y.port ? -1 : 1;
    return std::memcmp(x.address, y.address, x.size);
}
