// One remote-console exchange: a request datagram out, the reply datagrams in, the reply text
// to standard output.
#pragma once

#include "output.hpp"
#include "target.hpp"

#include <chrono>
#include <cstddef>
#include <span>
#include <string_view>

#include <time.h>

/// Room for one exchange: the request is laid out in it, then the reply received over it.
inline constexpr std::size_t k_exchange_size = 32768;

/// The longest an exchange may take unless the command line says otherwise.
inline constexpr std::chrono::microseconds k_exchange_bound = std::chrono::seconds(10);

/// How requests are laid out, and so which family of servers they are for.
enum class request_form {
    /// "rcon", the password and the command.
    rcon,
    /// The same, to the family of servers whose replies open with the marker 'n'.
    plain,
    /// To that family, "srcon HMAC-MD4 TIME": the command signed with the time of sending.
    signed_by_time,
    /// To that family, "srcon HMAC-MD4 CHALLENGE": the command signed with a challenge that
    /// the server hands out first, in an exchange of its own within the same bound.
    signed_by_challenge,
};

/// How every exchange of a run goes.
struct exchange_rules {
    /// The longest an exchange may take, counted from its send.
    std::chrono::microseconds bound = k_exchange_bound;
    /// Zero: a reply ends at a newline. Otherwise it ends once the server has been quiet this
    /// long, and later datagrams lose their repeated opening; its text is printed as it comes.
    std::chrono::microseconds quiet{};
    /// Print each reply as clean text (see write_clean_piece).
    bool clean = false;
    /// How requests are laid out; replies are read in the dialect of their family.
    request_form form = request_form::rcon;
};

/// `span` as the system's timespec, for nanosleep and ppoll.
inline timespec as_timespec(std::chrono::microseconds span)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return {seconds.count(), std::chrono::nanoseconds(span - seconds).count()};
}

/// Bounds a receive on `sock`, of address `family`, that waits by itself by `bound`, and has
/// the system tell the socket of ICMP errors about its datagrams (a closed port) instead of
/// letting a wait time out; when `collecting` replies until quiet, gives the socket room for a
/// long reply's burst of datagrams. Returns 0, or 1 after reporting the failed call on
/// standard error.
int prepare_socket(int sock, int family, std::chrono::microseconds bound, bool collecting);

/// Sends "rcon", `password` and `command` as one request datagram from `sock` to `to`, waits
/// for the reply as `rules` say and prints it. Only an ICMP "destination unreachable" about a
/// datagram sent to the target, arriving after the request went out, fails an exchange; other
/// errors are waited past. What reached the socket within the bound counts, however late
/// telk gets to it. Returns 0 once a reply was printed or refused for its header, or 1 after
/// reporting why the request could not be sent, no reply came within the bound, or the
/// server refused the password (its reply is printed first).
int send_command(int sock, const target &to, std::string_view password, std::string_view command,
                 const exchange_rules &rules = {});

/// Writes everything behind the connectionless header of `reply`, then one newline, to
/// standard output, or with `clean` that text as clean text in `dialect` (see
/// write_clean_piece); without the header, writes a complaint to standard error instead.
/// Returns 1 when the text says that the server refused the password, after saying so on
/// standard error, or 0.
int print_buffer(std::span<const char> reply, bool clean = false,
                 text_dialect dialect = text_dialect::print_line);
