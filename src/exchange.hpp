// One remote-console exchange: a request datagram out, the reply datagrams in, within a
// bound, paced as the server's family allows, in the form the server wants.
#pragma once

#include "protocol.hpp"
#include "request.hpp"
#include "target.hpp"

#include <chrono>
#include <cstddef>
#include <string_view>

/// The longest an exchange may take unless the command line says otherwise.
inline constexpr std::chrono::microseconds k_exchange_bound = std::chrono::seconds(10);

/// How long a server must have been quiet to end a reply unless the command line says
/// otherwise: a real server sends a long reply's pieces within a millisecond, and those of a
/// map change within about 90 ms.
inline constexpr std::chrono::microseconds k_quiet_time = std::chrono::milliseconds(100);

/// How every exchange of a run goes.
struct exchange_rules {
    /// The longest an exchange may take, counted from its send.
    std::chrono::microseconds bound = k_exchange_bound;
    /// Zero: a reply ends at a newline. Otherwise it ends once the server has been quiet this
    /// long, by the datagrams' arrival; later datagrams lose their repeated opening; its text is
    /// printed as it comes, and what comes before the next request leaves is still its own.
    std::chrono::microseconds quiet = k_quiet_time;
    /// Print each reply as clean text (see write_clean_piece).
    bool clean = false;
    /// How requests are laid out; replies are read in the dialect they open with.
    request_form form = request_form::rcon;
    /// The form was asked for (-s): it never changes. Otherwise plain requests go until the
    /// server's answer shows that it wants signed or hashed ones.
    bool form_given = false;
    /// The least pause before every request but the first; requests are also spaced as the
    /// server's family allows, unless this is 0; negative: none but that. Even at 0, a
    /// request that the third family turned away as over its limit is sent again.
    std::chrono::microseconds pause{-1};
};

/// Readies the run for exchanges under `rules` over `sock`, of address `family`: bounds a
/// receive that waits by itself by the time a silent server is asked why (the rest is waited
/// for once it has been asked), and has the system tell the socket of ICMP errors about its
/// datagrams (a closed port) instead of letting a wait time out; when collecting replies until
/// quiet, gives the socket room for a long reply's burst of datagrams. Returns 0, or 1 after
/// reporting the failed call on standard error.
int start_exchanges(int sock, int family, const exchange_rules &rules);

/// What send_command returns for a reply that was not of this protocol (no header): the
/// run fails, but its later commands are still sent.
inline constexpr int k_no_header = 2;

/// Sends `command` with `password` as one request datagram from `sock` to `to`, once the
/// pace allows, waits for the reply as `rules` say and prints it. Only an ICMP "destination
/// unreachable" about a datagram sent to the target, arriving after the request went out,
/// fails an exchange; other errors are waited past. What reached the socket within the bound
/// counts, however late telk gets to it. A request that the server turned away without
/// running it (over its limit, or not in the form it wants) is sent again within the bound,
/// unprinted. Returns 0 once a reply was printed (collected until quiet, its end is written
/// by the next call or by end_reply), k_no_header after complaining of its header, or 1 after
/// reporting why the request could not be sent, no reply came within the bound, the reply was
/// the request sent back, or the server refused the request (its reply is printed first).
int send_command(int sock, const target &to, std::string_view password, std::string_view command,
                 const exchange_rules &rules = {});

/// Writes out the end of the last reply, if it is still open: what comes for it later is
/// dropped before the next request. Call before waiting for more commands, and at the end.
void end_reply();
