// The target of a run: the host text of the command line made into a socket address.
#pragma once

#include <array>
#include <cstddef>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

/// Where every request of a run goes, IPv4 or IPv6, with its port.
struct target {
    union {
        sockaddr any;
        sockaddr_in v4;
        sockaddr_in6 v6;
    } address{};
    socklen_t length = 0;

    int family() const { return address.any.sa_family; }
};

/// Finds the target that `text` names, in one of these forms, the port 27960 where none is
/// given:
/// - `[v6]` or `[v6]:port`, where v6 is an IPv6 address, optionally with a %scope;
/// - an IPv6 address as a whole (`::1`);
/// - otherwise `host` or `host:port`, the host ending at the first colon: numbers-and-dots
///   when it begins with a digit (or a name, when it is none but holds a letter), or else a
///   name, looked up for IPv4 first and for IPv6 only when it has no IPv4 address.
/// A port is decimal digits only, from 1 to 65535.
/// Returns 0, or after saying why not on standard output: k_does_not_resolve for a name that
/// the resolver does not know (it may be down, or the name gone), 1 for a typing mistake.
int find_target(char *text, target &found);

inline constexpr int k_does_not_resolve = 2;

/// Holds "[IPv6 address%scope]:port" and its zero byte.
inline constexpr std::size_t k_target_text_size = INET6_ADDRSTRLEN + 16;
using target_text = std::array<char, k_target_text_size>;

/// `to` as text, "192.0.2.10:27960" or "[2001:db8::7]:27960", in `room`. Returns room's data.
const char *text_of(const target &to, target_text &room);

/// Orders targets by family, port and address: 0 when `a` and `b` are the same address and
/// port, an IPv4-mapped IPv6 address being its IPv4 address.
int compare_targets(const target &a, const target &b);
