// The question put to a silent server, and what its answer says.
#include "silence.hpp"
#include "protocol.hpp"

#include <array>
#include <cstdio>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

/// How the third family answers the question: 'c' and a number.
constexpr char k_third_answer = 'c';
/// Holds "[IPv6 address%scope]:port".
constexpr std::size_t k_address_size = INET6_ADDRSTRLEN + 16;
/// Holds an answer to the question, a challenge and a little more.
constexpr std::size_t k_answer_size = 256;
/// More datagrams than a server sends to one question.
constexpr int k_answers_read = 8;

/// `to` as text, "192.0.2.10:27960" or "[2001:db8::7]:27960", in `room`.
const char *address_text(const target &to, std::array<char, k_address_size> &room)
{
    std::array<char, INET6_ADDRSTRLEN> host{};
    const bool v6 = to.family() == AF_INET6;
    inet_ntop(to.family(),
              v6 ? static_cast<const void *>(&to.address.v6.sin6_addr) : &to.address.v4.sin_addr,
              host.data(), host.size());
    const int port = ntohs(v6 ? to.address.v6.sin6_port : to.address.v4.sin_port);
    std::snprintf(room.data(), room.size(), v6 ? "[%s]:%d" : "%s:%d", host.data(), port);
    return room.data();
}

/// The family whose answer `datagram` is, or unknown.
server_family family_answering(std::string_view datagram)
{
    if (datagram.starts_with(k_plain_challenge_answer)) return server_family::print_line;
    if (datagram.starts_with(k_challenge_answer)) return server_family::marker_n;
    const bool third = datagram.size() > k_header.size() + 1 && datagram.starts_with(k_header) &&
                       datagram[k_header.size()] == k_third_answer;
    return third ? server_family::marker_n_zero : server_family::unknown;
}

} // namespace

silence_probe::~silence_probe()
{
    if (fd_ >= 0) close(fd_);
}

void silence_probe::ask(const target &to)
{
    if (asked_) return;
    asked_ = true;
    fd_ = socket(to.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ >= 0)
        sendto(fd_, k_ask_challenge.data(), k_ask_challenge.size(), 0, &to.address.any, to.length);
}

void silence_probe::explain(const target &to) const
{
    server_family family = server_family::unknown;
    std::array<char, k_answer_size> datagram;
    for (int i = 0; fd_ >= 0 && family == server_family::unknown && i < k_answers_read; ++i) {
        const ssize_t got = recv(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT);
        if (got < 0) break;
        family = family_answering({datagram.data(), static_cast<std::size_t>(got)});
    }
    std::array<char, k_address_size> room;
    const char *at = address_text(to, room);
    switch (family) {
    case server_family::print_line:
        std::fprintf(stderr,
                     "%s answers, as servers of plain requests do: it dropped this one, past its "
                     "allowance of about ten at once and then one a second (see -i), or the "
                     "reply was lost\n",
                     at);
        break;
    case server_family::marker_n:
        std::fprintf(stderr,
                     "%s answers, as servers of signed requests do, and they answer a wrong "
                     "password or a request not signed as they want with silence: check the "
                     "password, or try -s time or -s challenge\n",
                     at);
        break;
    case server_family::marker_n_zero:
        std::fprintf(stderr,
                     "%s answers, as servers that answer every request do: the reply was lost\n",
                     at);
        break;
    case server_family::unknown:
        std::fprintf(stderr,
                     "Nothing answers at %s: it is down, the port is wrong, a firewall drops the "
                     "datagrams, or it limits requests from this address\n",
                     at);
    }
}
