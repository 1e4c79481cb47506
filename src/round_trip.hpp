// One request's wait for its reply: the socket's own bound, the question to a silent server
// at its time, datagrams taken by when they arrived, and the errors that fail it.
#pragma once

#include "pacing.hpp"
#include "protocol.hpp"
#include "reply.hpp"
#include "request.hpp"
#include "signals.hpp"
#include "silence.hpp"
#include "target.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <span>

#include <sys/types.h>

/// What the run knows of its server from its answers so far, and how requests go to it.
struct server_state {
    std::chrono::microseconds bound{};
    pace paced;
    server_family family = server_family::unknown; // as the last reply told it
    bool accepted = false; // a request was taken: a refusal of the third family after that
                           // is its limit speaking
    request_form form = request_form::rcon;
    bool form_given = false;
    bool signed_by_telk = false; // the second family answered, so telk signs its requests
};

/// When a silent server's answer may change how requests go, it is asked this soon, so that
/// a server of signed requests is known within a second.
inline constexpr std::chrono::microseconds k_early_question = std::chrono::milliseconds(500);

/// How long after its send a request that nothing answers makes telk ask why.
inline std::chrono::microseconds question_delay(std::chrono::microseconds bound, bool early)
{
    return early ? std::min(bound / 2, k_early_question) : bound / 2;
}

/// More datagrams than the largest receive buffer the system grants can hold.
inline constexpr int k_late_reads = 1 << 16;
/// How much of a request is kept to tell the request sent back from a reply.
inline constexpr std::size_t k_echo_prefix = 32;

/// What next_datagram returns besides a datagram's length.
inline constexpr ssize_t k_failed = -1;         // errno says why
inline constexpr ssize_t k_probe_answered = -2; // the question's answer changes how requests go
inline constexpr ssize_t k_echoed = -3;         // the datagram was the request, sent back

/// A request as it went: its length and first bytes, enough to tell it sent back from a reply
/// without a copy of every request.
struct sent_request {
    std::size_t length = 0;
    std::array<char, k_echo_prefix> opening; // filled as it goes

    /// Notes the request at the start of `room`, `size` bytes; `room` holds k_echo_prefix.
    void note(std::span<const char> room, std::size_t size)
    {
        length = size;
        std::memcpy(opening.data(), room.data(), k_echo_prefix);
    }

    /// Whether `datagram` is this request sent back.
    bool echoed_by(std::span<const char> datagram) const
    {
        return length > 0 && datagram.size() == length &&
               std::memcmp(datagram.data(), opening.data(),
                           std::min(datagram.size(), k_echo_prefix)) == 0;
    }
};

/// A datagram received after its time: how long, and when it came.
struct late_datagram {
    bool held = false;
    std::size_t length = 0;
    instant arrived{};
};

/// One request on its way: where it went, and when its reply must be complete.
struct round_trip {
    round_trip(int socket, const target &target, instant bound_end, const server_state &known)
        : sock(socket), to(target), deadline(bound_end), server(known)
    {
    }

    int sock;
    const target &to;
    instant deadline;
    const server_state &server;
    /// If nothing has come by then, the server is asked why (see silence.hpp); planned once
    /// the first wait is longer than the socket's own.
    instant probe_at{};
    bool question_planned = false;
    /// The answer to the question whose family changes how requests go, if any.
    server_family decisive = server_family::unknown;
    /// The next receive may wait by itself, bounded by the socket, whose bound starts with the
    /// receive: true only while nothing has taken time since the deadline was set.
    bool on_socket_bound = true;
    /// How many more datagrams may be taken that were queued when their wait had run out:
    /// more than the socket can hold, and yet an end to a flood.
    int late_reads_left = k_late_reads;
    /// The next receive takes what was queued once its wait had run out.
    bool late = false;
    /// How often telk had been continued after a stop when the exchange began.
    unsigned long continues_then = continues();
    bool heard = false; // a datagram of the reply, or of the challenge, came
    sent_request sent;  // to tell it sent back
    silence_probe probe{};
    /// A stamped datagram taken off the socket after its time, still in the caller's room.
    late_datagram held_back{};
};

/// Bounds a receive on `sock`, of address `family`, that waits by itself by `first_wait` (when
/// a silent server is asked why), and has the system tell the socket of ICMP errors about its
/// datagrams (a closed port) instead of letting a wait time out; stamps arrivals; when
/// `collecting` replies until quiet, gives the socket room for a long reply's burst of
/// datagrams. Returns 0, or 1 after reporting the failed call on standard error.
int prepare_socket(int sock, int family, std::chrono::microseconds first_wait, bool collecting);

/// The family whose answer to the question why the server is silent changes how requests go:
/// the second family's while telk may still sign them, the first family's when told to sign
/// them by time; unknown when none would.
server_family decisive_family(const server_state &server);

/// What a refusal of the third family may mean besides a wrong password, by what the run knows
/// of `server`.
refusal_hint hint_for(const server_state &server);

/// Says that the server answered as servers of plain requests do, though telk was told to sign
/// its requests. Returns 1.
int report_plain_server();

/// Says that `to` sent the request back. Returns 1.
int report_echo(const target &to);

/// The second family answered the question of a silent server that telk sent a plain request:
/// it ignored it; from now on requests go signed by challenge.
void sign_from_now_on(server_state &server);

/// Whether a request sent at `sent_at` that the server turned away, as `said`, after `tries`
/// earlier tries, goes again a pace later, before `deadline`: when a request of the run was
/// taken (the limit spoke), the first time (it may have), and once hashed when plain requests
/// were refused twice and telk chooses the form, which it notes.
bool goes_again(server_state &server, instant sent_at, instant deadline, reply_said said,
                int tries);

/// Reports a failed call in perror form: `action`, what was tried and what came back.
void report_failure(const char *action, std::size_t tried, ssize_t rc);

/// Reports that receiving for `trip` failed with `rc`; when the server was silent and was
/// asked why, what its answer says follows.
void report_receive_failure(round_trip &trip, ssize_t rc);

/// Sends `request`. An error that the system noted before, about an earlier datagram, fails
/// the send; it is no failure of this request, so it is taken off and the send tried again.
/// No request leaves after its bound. Returns sendto's result.
ssize_t send_request(round_trip &trip, std::span<const char> request);

/// Receives the next datagram of the reply into `room`, cut to its size, by `until` at the
/// latest: one that reached the socket in time counts, even when telk was stopped or slow
/// to get to it; one that came later ends the wait, however long a flood. Told to end, it
/// takes only what is queued already. With `arrived`, the datagram's arrival is stamped there,
/// and one that came later is left in `room` and noted in `held_back`. Until something comes,
/// the server is asked once why not. An error the system queued that does not say the target
/// is unreachable is taken off and waited past. Returns the datagram's length, k_echoed,
/// k_probe_answered, or k_failed with errno set: ETIMEDOUT when `until` passed first, EINTR
/// when told to end.
ssize_t next_datagram(round_trip &trip, std::span<char> room, instant until, instant *arrived);
