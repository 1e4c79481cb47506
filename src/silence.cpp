// The question put to a silent server, and what its answer says.
#include "silence.hpp"

#include <array>
#include <cstdio>

#include <sys/socket.h>

namespace {

/// How the third family answers the question: 'c' and a number.
constexpr char k_third_answer = 'c';
/// Holds an answer to the question, a challenge and a little more.
constexpr std::size_t k_answer_size = 256;

} // namespace

server_family family_answering(std::string_view datagram)
{
    if (datagram.starts_with(k_plain_challenge_answer)) return server_family::print_line;
    if (datagram.starts_with(k_challenge_answer)) return server_family::marker_n;
    const bool third = datagram.size() > k_header.size() + 1 && datagram.starts_with(k_header) &&
                       datagram[k_header.size()] == k_third_answer;
    return third ? server_family::marker_n_zero : server_family::unknown;
}

bool ask_question(int sock, const target &to)
{
    return sendto(sock, k_ask_challenge.data(), k_ask_challenge.size(), 0, &to.address.any,
                  to.length) == static_cast<ssize_t>(k_ask_challenge.size());
}

bool take_answer(int sock, server_family &family)
{
    std::array<char, k_answer_size> datagram;
    const ssize_t got = recv(sock, datagram.data(), datagram.size(), MSG_DONTWAIT);
    if (got < 0) return false;
    family = family_answering({datagram.data(), static_cast<std::size_t>(got)});
    return true;
}

void explain_silence(const target &to, server_family family, bool answered, bool signed_by_telk)
{
    target_text room;
    const char *at = text_of(to, room);
    switch (family) {
    case server_family::print_line:
        std::fprintf(stderr,
                     "%s answers, as servers of plain requests do: it dropped this one, past its "
                     "allowance of about ten at once and then one a second (see -i), or the "
                     "reply was lost\n",
                     at);
        break;
    case server_family::marker_n:
        if (signed_by_telk)
            std::fprintf(stderr,
                         "%s answers, as servers of signed requests do, and they answer a wrong "
                         "password with silence: check the password\n",
                         at);
        else
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
        if (answered)
            std::fprintf(stderr,
                         "%s answers, but not as any server of this protocol does: the port may "
                         "belong to another service\n",
                         at);
        else
            std::fprintf(stderr,
                         "Nothing answers at %s: it is down, the port is wrong, a firewall drops "
                         "the datagrams, or it limits requests from this address\n",
                         at);
    }
}
