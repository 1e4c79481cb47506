// The round trip of one request: its pace, its send, the datagrams of its reply within the
// bound, and the errors the system reports about them.
#include "exchange.hpp"
#include "output.hpp"
#include "protocol.hpp"
#include "reply.hpp"
#include "signals.hpp"
#include "silence.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/sockios.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

using std::chrono::microseconds;

constexpr std::size_t k_error_text_size = 64;
/// Holds any UDP datagram whole.
constexpr std::size_t k_datagram_size = 65536;
/// Room on the socket for the datagrams of a long reply that come while telk writes out
/// earlier ones: about 400 of a kilobyte.
constexpr int k_burst_room = 1 << 20;
/// More datagrams than the largest receive buffer the system grants can hold.
constexpr int k_late_reads = 1 << 16;

/// Datagrams received only to be cut or dropped. Static, like the exchange buffer: on the
/// stack it would make every run's stack pages resident, collecting or not.
std::array<char, k_datagram_size> scratch;

/// Reports a failed call in perror form: `action`, what was tried and what came back.
void report_failure(const char *action, std::size_t tried, ssize_t rc)
{
    std::array<char, k_error_text_size> text;
    std::snprintf(text.data(), text.size(), "%s (tried=%d, rc=%d)", action, static_cast<int>(tried),
                  static_cast<int>(rc));
    std::perror(text.data());
}

/// One request on its way: where it went, and when its reply must be complete.
struct round_trip {
    int sock;
    const target &to;
    instant deadline;
    /// Half the bound: if nothing has come by then, the server is asked why (see silence.hpp).
    instant probe_at;
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
    silence_probe probe{};
};

/// Reports that receiving for `trip` failed with `rc`; when the server was silent and was
/// asked why, what its answer says follows.
void report_receive_failure(const round_trip &trip, ssize_t rc)
{
    const bool silent = rc < 0 && errno == ETIMEDOUT;
    if (rc == 0) errno = 0; // an empty datagram is no error of the system's
    report_failure("Error receiving UDP packet", k_exchange_size, rc);
    if (silent && trip.probe.asked()) trip.probe.explain(trip.to);
}

/// What the system had queued on the socket about datagrams it sent.
struct queued_errors {
    bool any = false;
    int unreachable = 0; // the error number of the first saying the target is unreachable
};

/// Whether `a` and `b` are the same address and port.
bool same_address(const target &a, const target &b)
{
    if (a.family() != b.family()) return false;
    if (a.family() == AF_INET6)
        return a.address.v6.sin6_port == b.address.v6.sin6_port &&
               std::memcmp(&a.address.v6.sin6_addr, &b.address.v6.sin6_addr,
                           sizeof a.address.v6.sin6_addr) == 0;
    return a.address.v4.sin_port == b.address.v4.sin_port &&
           a.address.v4.sin_addr.s_addr == b.address.v4.sin_addr.s_addr;
}

/// Whether `error`, about a datagram sent to `about`, says that `to` cannot be reached.
/// "Fragmentation needed", and ICMPv6's "packet too big", only ask for smaller datagrams; any
/// other kind of ICMP error (time exceeded, a redirect) says nothing about the target.
bool says_unreachable(const sock_extended_err &error, const target &about, const target &to)
{
    const bool unreachable =
        (error.ee_origin == SO_EE_ORIGIN_ICMP && error.ee_type == ICMP_DEST_UNREACH &&
         error.ee_code != ICMP_FRAG_NEEDED) ||
        (error.ee_origin == SO_EE_ORIGIN_ICMP6 && error.ee_type == ICMP6_DST_UNREACH);
    return unreachable && same_address(about, to);
}

/// Whether `header` holds the report of an ICMP or ICMPv6 error.
bool is_error_report(const cmsghdr *header)
{
    return (header->cmsg_level == SOL_IP && header->cmsg_type == IP_RECVERR) ||
           (header->cmsg_level == SOL_IPV6 && header->cmsg_type == IPV6_RECVERR);
}

/// Takes every error that the system has queued on the socket of `trip`. Leaves errno alone.
queued_errors take_errors(const round_trip &trip)
{
    const int saved_errno = errno;
    queued_errors found;
    for (;;) {
        target about; // where the datagram that met the error was going
        // the report, and the time stamp that comes with it
        alignas(cmsghdr)
            std::array<char, CMSG_SPACE(sizeof(sock_extended_err) + sizeof about.address) +
                                 CMSG_SPACE(sizeof(timespec))>
                control;
        msghdr message{};
        message.msg_name = &about.address;
        message.msg_namelen = sizeof about.address;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        if (recvmsg(trip.sock, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break; // none left
        found.any = true;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        while (header != nullptr && !is_error_report(header))
            header = CMSG_NXTHDR(&message, header);
        if (header == nullptr) continue;
        sock_extended_err error;
        std::memcpy(&error, CMSG_DATA(header), sizeof error);
        if (found.unreachable == 0 && says_unreachable(error, about, trip.to))
            found.unreachable = static_cast<int>(error.ee_errno);
    }
    errno = saved_errno;
    return found;
}

/// Sends `request`. An error that the system noted before, about an earlier datagram, fails
/// the send; it is no failure of this request, so it is taken off and the send tried again.
/// When the socket had no room to queue the error's report, the failed send itself took the
/// error off: one more try tells it from a failure of this request. Returns sendto's result.
ssize_t send_request(round_trip &trip, std::span<const char> request)
{
    // No request leaves after its bound (a stop while a challenge came, say): the server
    // would run it while telk reports that it timed out, and a retry would run it twice.
    if (!trip.on_socket_bound && now() >= trip.deadline) {
        errno = ETIMEDOUT;
        return -1;
    }
    bool tried_again = false; // after a failure with no report queued
    for (;;) {
        const ssize_t sent = sendto(trip.sock, request.data(), request.size(), 0,
                                    &trip.to.address.any, trip.to.length);
        if (sent >= 0 || now() >= trip.deadline) return sent;
        if (!take_errors(trip).any && std::exchange(tried_again, true)) return sent;
        trip.on_socket_bound = false;
    }
}

/// Whether the datagram just received on the socket of `trip` reached it by `until`, by the
/// time the system stamped on it as it came; true when it has none.
bool came_by(const round_trip &trip, instant until)
{
    timespec stamp{};
    if (ioctl(trip.sock, SIOCGSTAMPNS, &stamp) != 0) return true;
    // The stamp is on the system's clock; `until` on the monotonic one, which a stop does
    // not stop either.
    const auto wall_until = wall_clock() - std::chrono::duration_cast<microseconds>(now() - until);
    return std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec) <=
           wall_until;
}

/// Waits until something can be received on the socket of `trip`, but not past `until`; once
/// `until` has passed, what is queued already may still count (see next_datagram). Returns 1 when
/// something can be received, 0 with errno ETIMEDOUT once `until` has passed and nothing is queued,
/// or -1 when waiting failed.
int wait_until(round_trip &trip, instant until)
{
    bool waited_out = false; // a wait that ended with the time found nothing queued
    for (;;) {
        pollfd watched{trip.sock, POLLIN, 0};
        // Until something comes, the wait stops once at half the bound to ask why not.
        const bool probing = !trip.heard && !trip.probe.asked() && trip.probe_at < until;
        const auto left =
            std::chrono::ceil<microseconds>((probing ? trip.probe_at : until) - now());
        if (left.count() <= 0 && probing) {
            trip.probe.ask(trip.to);
            continue;
        }
        if (left.count() <= 0) {
            if (!waited_out && trip.late_reads_left > 0 && poll(&watched, 1, 0) > 0) {
                --trip.late_reads_left;
                trip.late = true;
                return 1;
            }
            errno = ETIMEDOUT;
            return 0;
        }
        const timespec limit = as_timespec(left);
        const int ready = ppoll(&watched, 1, &limit, nullptr);
        if (ready > 0) return 1;
        waited_out = ready == 0 && !probing;
        // interrupted by a stop and continue: wait on; told to end: end
        if (ready < 0 && (errno != EINTR || stop_signal() != 0)) return -1;
    }
}

/// Receives the next datagram of the reply into `room`, cut to its size, by `until` at the
/// latest: one that reached the socket in time counts, even when telk was stopped or slow
/// to get to it; one that came later ends the wait, however long a flood. An error the
/// system queued that does not say the target is unreachable is taken off and waited past.
/// Returns the datagram's length, or -1 with errno set: ETIMEDOUT when `until` passed first.
ssize_t next_datagram(round_trip &trip, std::span<char> room, instant until)
{
    for (;;) {
        // The first receive of an exchange waits by itself, bounded by the socket, so that a
        // reply in one datagram costs one call; every later one waits for what is left.
        if (stop_signal() != 0) { // before a wait that it would not cut short
            errno = EINTR;
            return -1;
        }
        const bool blocking = std::exchange(trip.on_socket_bound, false);
        if (!blocking && wait_until(trip, until) <= 0) return -1;
        const ssize_t rc = recvfrom(trip.sock, room.data(), room.size(),
                                    blocking ? 0 : MSG_DONTWAIT, nullptr, nullptr);
        // Only what telk got to late, once the wait had run out or after a stop, may have come
        // after `until`; what did is taken off, as a late piece would be before the next
        // request, and counts as nothing.
        const bool got_late =
            std::exchange(trip.late, false) || (blocking && continues() != trip.continues_then);
        if (rc >= 0 && got_late && now() >= until && !came_by(trip, until)) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (rc >= 0) {
            trip.heard = true;
            return rc;
        }
        if (errno == EINTR && stop_signal() != 0) return -1;
        if (errno == EAGAIN || errno == EINTR) continue; // a wait that ended early or was cut
        // An error with no report queued (the socket had no room for it) was taken off by the
        // failed receive, and says nothing of this request.
        const queued_errors queued = take_errors(trip);
        if (queued.unreachable != 0) {
            errno = queued.unreachable;
            return -1;
        }
    }
}

/// Receives datagrams appended to each other in `buffer` until the reply is complete or the
/// bound passes. Returns the reply's length, or 0 after reporting the failure.
std::size_t receive_reply(round_trip &trip, std::span<char> buffer)
{
    std::size_t received = 0;
    while (!reply_complete(buffer, received)) {
        const ssize_t rc = next_datagram(trip, buffer.subspan(received), trip.deadline);
        if (rc > 0) {
            received += static_cast<std::size_t>(rc);
            continue;
        }
        // the server went quiet, or telk was told to end: what came is the reply
        if (rc < 0 && (errno == ETIMEDOUT || stop_signal() != 0) && received > k_header.size())
            return received;
        if (stop_signal() == 0) report_receive_failure(trip, rc);
        return 0;
    }
    return received;
}

/// Drops every datagram and error waiting on the socket: a piece that came after its reply's
/// quiet time would otherwise open the next reply.
void drop_waiting(round_trip &trip)
{
    pollfd watched{trip.sock, POLLIN, 0};
    while (now() < trip.deadline && poll(&watched, 1, 0) > 0) {
        trip.on_socket_bound = false;
        const ssize_t rc =
            recvfrom(trip.sock, scratch.data(), scratch.size(), MSG_DONTWAIT, nullptr, nullptr);
        // A failed receive took an error off the socket, reported or not; only one that
        // finds nothing waiting ends the drop.
        if (rc < 0 && !take_errors(trip).any && errno == EAGAIN) return;
    }
}

/// Asks the server of `trip` for a challenge to sign the request with, and waits for it
/// within the bound; any other datagram is passed over. The challenge is what follows
/// "challenge " in the answer, up to a zero byte; it lives in the scratch datagram. Returns
/// 0, or 1 after reporting why none came.
int get_challenge(round_trip &trip, std::string_view &challenge)
{
    const ssize_t sent = send_request(trip, k_ask_challenge);
    if (sent != static_cast<ssize_t>(k_ask_challenge.size())) {
        report_failure("Could not send UDP packet", k_ask_challenge.size(), sent);
        return 1;
    }
    for (;;) {
        const ssize_t rc = next_datagram(trip, scratch, trip.deadline);
        if (rc < 0) {
            if (stop_signal() == 0) std::perror("No challenge came from the server");
            return 1;
        }
        const std::string_view datagram{scratch.data(), static_cast<std::size_t>(rc)};
        if (datagram.starts_with(k_plain_challenge_answer)) {
            std::fputs("The server answered as servers of plain requests do: leave -s out\n",
                       stderr);
            return 1;
        }
        if (!datagram.starts_with(k_challenge_answer)) continue;
        trip.heard = false; // the request's own reply may yet be silent
        challenge = datagram;
        // it starts with the answer: remove_prefix, where substr would bring in exceptions
        challenge.remove_prefix(k_challenge_answer.size());
        challenge = challenge.substr(0, challenge.find('\0'));
        return 0;
    }
}

/// Collects a reply of several datagrams into `reply`, whose text is printed as each comes:
/// once more than the header has come, the reply ends when `quiet` passes without a
/// datagram, or the bound passes. Empty datagrams are no part of it and end no quiet time.
/// Returns 0, or 1 after reporting the failure.
int collect_until_quiet(round_trip &trip, reply_stream &reply, microseconds quiet)
{
    instant until = trip.deadline;
    for (;;) {
        const ssize_t rc = next_datagram(trip, scratch, until);
        if (rc < 0 && (errno == ETIMEDOUT || stop_signal() != 0) && has_text(reply)) return 0;
        if (rc < 0) {
            if (stop_signal() == 0) report_receive_failure(trip, rc);
            return 1;
        }
        if (rc == 0) continue;
        add_datagram(reply, {scratch.data(), static_cast<std::size_t>(rc)});
        flush_out(); // whoever reads sees each datagram's text as it comes
        if (has_text(reply)) until = std::min(trip.deadline, now() + quiet);
    }
}

/// One request a second, with a margin for the server's clock.
constexpr instant k_pace_interval = std::chrono::milliseconds(1050);
/// How many requests the first family takes at once before it takes one a second.
constexpr long k_print_line_burst = 10;

/// The requests of the run so far, spaced as the server's family allows: a leaky bucket that
/// lets a burst of requests through at once, then one each k_pace_interval.
struct {
    long sent = 0;
    instant due{}; // when the bucket will have let out every request so far
    server_family family = server_family::unknown; // as the last reply told it
    bool accepted = false; // a request was taken: a refusal of the third family after that
                           // is its limit speaking
} pace;

/// How many requests in `form` a server takes at once before it takes one a second; 0 for
/// no limit. Plain requests keep to the first family's allowance until a reply tells another.
long burst(request_form form)
{
    if (form == request_form::hashed_by_time || pace.family == server_family::marker_n_zero)
        return 1;
    if (!sends_password(form) || pace.family == server_family::marker_n) return 0;
    return k_print_line_burst;
}

/// When a bucket of `burst` requests lets the next one through.
instant turn_in_bucket(long burst) { return pace.due - (burst - 1) * k_pace_interval; }

/// Sleeps until `until`, through a stop and continue.
void sleep_until(instant until)
{
    const timespec wake = as_timespec(until);
    while (stop_signal() == 0 &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}

/// Waits for the next request's turn: its least pause, and the pace the server's family
/// allows. What was printed is written out before a wait, for whoever waits for it. Returns
/// the time the request may go.
instant wait_for_turn(const exchange_rules &rules)
{
    const instant start = now();
    if (rules.pause.count() == 0) return start; // no pause at all
    instant turn = start;
    if (pace.sent > 0) turn += std::max(rules.pause, microseconds{});
    if (const long allowed = burst(rules.form); allowed > 0)
        turn = std::max(turn, turn_in_bucket(allowed));
    if (turn <= start) return start;
    flush_out();
    sleep_until(turn);
    return now();
}

/// What came of one try at an exchange, when it is not the exchange's status.
constexpr int k_again = k_no_header + 1;

/// When a request that went at `sent_at` and was turned away as over the limit may go again.
instant retry_at(instant sent_at) { return sent_at + k_pace_interval; }

/// Notes what `verdict` tells of the server. Returns whether it turned the request sent at
/// `sent_at` away as over its limit, and it may go again within the bound of `trip`: when a
/// request of the run was taken, or this one was turned away the first time.
bool notes_turned_away(const round_trip &trip, instant sent_at, const reply_verdict &verdict,
                       bool retried)
{
    if (verdict.family != server_family::unknown) pace.family = verdict.family;
    if (verdict.said == reply_said::text) pace.accepted = true;
    return verdict.said == reply_said::refused_or_limited && (pace.accepted || !retried) &&
           retry_at(sent_at) <= trip.deadline;
}

/// Sends the request at `sent_at` and takes its reply, printed unless the server turned the
/// request away as over its limit and it may go again. Returns 0 or 1 as send_command does,
/// or k_again.
int try_once(round_trip &trip, std::span<char> buffer, instant sent_at, std::string_view password,
             std::string_view command, const exchange_rules &rules, bool retried)
{
    if (rules.quiet.count() > 0) drop_waiting(trip);
    std::string_view challenge;
    if (rules.form == request_form::signed_by_challenge && get_challenge(trip, challenge) != 0)
        return 1;
    const std::size_t length = lay_request(buffer, rules.form, password, command, challenge);
    if (length == 0) return 1;
    const ssize_t sent = send_request(trip, {buffer.data(), length});
    if (sent != static_cast<ssize_t>(length)) {
        report_failure("Could not send UDP packet", length, sent);
        return 1;
    }
    ++pace.sent;
    if (rules.pause.count() != 0) pace.due = std::max(pace.due, sent_at) + k_pace_interval;

    reply_verdict verdict;
    if (rules.quiet.count() > 0) {
        reply_stream reply{.clean = rules.clean, .room = buffer};
        if (collect_until_quiet(trip, reply, rules.quiet) != 0) return 1;
        verdict = judge_stream(reply);
        if (notes_turned_away(trip, sent_at, verdict, retried)) return k_again;
        finish_stream(reply);
    } else {
        const std::size_t received = receive_reply(trip, buffer);
        if (received == 0) return 1;
        verdict = judge_reply({buffer.data(), received});
        if (notes_turned_away(trip, sent_at, verdict, retried)) return k_again;
        print_reply({buffer.data(), received}, rules.clean);
    }
    if (verdict.said == reply_said::text) return 0;
    if (verdict.said == reply_said::no_header) return k_no_header;
    report_refusal(verdict.said, sends_password(rules.form), pace.accepted);
    return 1;
}

} // namespace

int prepare_socket(int sock, int family, microseconds bound, bool collecting)
{
    // Half the bound: a first receive that waits that long without a datagram goes on
    // waiting after the server has been asked why (see silence.hpp).
    const microseconds half = bound / 2;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(half);
    const timeval limit{seconds.count(), (half - seconds).count()};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        std::perror("Couldn't set UDP socket timeout");
        return 1;
    }
    const int on = 1;
    // An IPv6 socket meets IPv4's errors too, when the target is an IPv4-mapped address.
    const bool v6 = family == AF_INET6;
    if (setsockopt(sock, SOL_IP, IP_RECVERR, &on, sizeof on) != 0 ||
        (v6 && setsockopt(sock, SOL_IPV6, IPV6_RECVERR, &on, sizeof on) != 0)) {
        std::perror("Couldn't set UDP socket error reporting");
        return 1;
    }
    // The first ask for the time stamp of the last datagram received has the system stamp
    // every datagram from then on with when it came (it finds none yet), so that one that
    // came after its bound is told from one that telk got to late. Where it cannot, every
    // datagram counts as come in time.
    timespec stamp{};
    ioctl(sock, SIOCGSTAMPNS, &stamp);
    // A server sends a long reply's datagrams all at once; the system holds no more of them
    // than this while telk writes out the earlier ones. It caps the size at what it allows,
    // silently, so a failure here loses nothing that telk could have had.
    if (collecting) setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &k_burst_room, sizeof k_burst_room);
    return 0;
}

int send_command(int sock, const target &to, std::string_view password, std::string_view command,
                 const exchange_rules &rules)
{
    // The request, then the reply over it. Static, like the scratch datagram: a 32 KiB frame
    // would be probed page by page under stack clash protection, and all of it made resident.
    static std::array<char, k_exchange_size> buffer;
    instant sent_at = wait_for_turn(rules);
    if (stop_signal() != 0) return 1;
    round_trip trip{sock, to, sent_at + rules.bound, sent_at + rules.bound / 2};
    for (bool retried = false;; retried = true) {
        const int status = try_once(trip, buffer, sent_at, password, command, rules, retried);
        if (status != k_again) return status;
        sleep_until(retry_at(sent_at));
        if (stop_signal() != 0) return 1;
        trip.on_socket_bound = false;
        sent_at = now();
    }
}
