// One remote-console exchange: a request datagram out, the reply datagrams in, within a
// bound, paced as the server's family allows.
#pragma once

#include "request.hpp"
#include "target.hpp"

#include <chrono>
#include <cstddef>
#include <string_view>

/// Room for one exchange: the request is laid out in it, then the reply received over it.
inline constexpr std::size_t k_exchange_size = 32768;

/// The longest an exchange may take unless the command line says otherwise.
inline constexpr std::chrono::microseconds k_exchange_bound = std::chrono::seconds(10);

/// How every exchange of a run goes.
struct exchange_rules {
    /// The longest an exchange may take, counted from its send.
    std::chrono::microseconds bound = k_exchange_bound;
    /// Zero: a reply ends at a newline. Otherwise it ends once the server has been quiet this
    /// long, and later datagrams lose their repeated opening; its text is printed as it comes.
    std::chrono::microseconds quiet{};
    /// Print each reply as clean text (see write_clean_piece).
    bool clean = false;
    /// How requests are laid out; replies are read in the dialect they open with.
    request_form form = request_form::rcon;
    /// The least pause before every request but the first; requests are also spaced as the
    /// server's family allows, unless this is 0; negative: none but that. Even at 0, a
    /// request that the third family turned away as over its limit is sent again.
    std::chrono::microseconds pause{-1};
};

/// Bounds a receive on `sock`, of address `family`, that waits by itself by half of `bound`
/// (the rest is waited for once the server has been asked why it is silent), and has
/// the system tell the socket of ICMP errors about its datagrams (a closed port) instead of
/// letting a wait time out; when `collecting` replies until quiet, gives the socket room for a
/// long reply's burst of datagrams. Returns 0, or 1 after reporting the failed call on
/// standard error.
int prepare_socket(int sock, int family, std::chrono::microseconds bound, bool collecting);

/// What send_command returns for a reply that was not of this protocol (no header): the
/// run fails, but its later commands are still sent.
inline constexpr int k_no_header = 2;

/// Sends `command` with `password` as one request datagram from `sock` to `to`, once the
/// pace allows, waits for the reply as `rules` say and prints it. Only an ICMP "destination
/// unreachable" about a datagram sent to the target, arriving after the request went out,
/// fails an exchange; other errors are waited past. What reached the socket within the bound
/// counts, however late telk gets to it. A request that the third family turned away as over
/// its limit is sent again within the bound, unprinted. Returns 0 once a reply was printed,
/// k_no_header after complaining of its header, or 1 after reporting why the request could not be
/// sent, no reply came within the bound, or the server refused the request (its reply is printed
/// first).
int send_command(int sock, const target &to, std::string_view password, std::string_view command,
                 const exchange_rules &rules = {});
