#include "exchange.hpp"
#include "digest.hpp"
#include "output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

using std::chrono::microseconds;
/// A time on the monotonic clock, which stopping telk does not stop.
using instant = std::chrono::nanoseconds;

/// Opens every datagram, in both directions.
constexpr std::string_view k_header{"\xff\xff\xff\xff", 4};
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

/// Lays out `parts` one after the other at the start of `buffer`; no terminator. Returns the
/// request's length, or 0 after reporting that it does not fit.
std::size_t lay_request(std::span<char> buffer, std::span<const std::string_view> parts)
{
    std::size_t length = 0;
    for (const std::string_view part : parts)
        length += part.size();
    if (length > buffer.size()) {
        std::fprintf(stderr, "Request too long (tried=%zu, max=%zu)\n", length, buffer.size());
        return 0;
    }
    char *at = buffer.data();
    for (const std::string_view part : parts)
        at = std::copy(part.begin(), part.end(), at);
    return length;
}

/// Holds the time of a signed request, "seconds.microseconds".
constexpr std::size_t k_time_size = 32;

/// The time on the system's clock, since the epoch.
microseconds wall_clock()
{
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    return std::chrono::seconds(clock.tv_sec) +
           std::chrono::duration_cast<microseconds>(std::chrono::nanoseconds(clock.tv_nsec));
}

/// The time to sign a request with, "seconds.microseconds", in `room`: later than the last
/// one, so that no two requests of a run share it.
std::string_view signing_time(std::span<char> room)
{
    static microseconds last{};
    last = std::max(last + microseconds(1), wall_clock());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(last);
    const int length = std::snprintf(room.data(), room.size(), "%lld.%06lld",
                                     static_cast<long long>(seconds.count()),
                                     static_cast<long long>((last - seconds).count()));
    return {room.data(), static_cast<std::size_t>(length)};
}

/// Lays out the request that sends `command` with `password`, signed with the time or with
/// `challenge` as `form` says, at the start of `buffer`: the password never travels. Returns
/// the request's length, or 0 after reporting that it does not fit.
std::size_t lay_signed(std::span<char> buffer, request_form form, std::string_view password,
                       std::string_view command, std::string_view challenge)
{
    std::array<char, k_time_size> time;
    const bool by_time = form == request_form::signed_by_time;
    const std::string_view token = by_time ? signing_time(time) : challenge;
    const std::array<std::string_view, 3> signed_text{token, " ", command};
    const md4_digest signature = hmac_md4(password, signed_text);
    const std::array<std::string_view, 7> parts{k_header,
                                                by_time ? "srcon HMAC-MD4 TIME "
                                                        : "srcon HMAC-MD4 CHALLENGE ",
                                                {signature.data(), signature.size()},
                                                " ",
                                                token,
                                                " ",
                                                command};
    return lay_request(buffer, parts);
}

/// Lays out the request that sends `command` with `password` in `form` at the start of
/// `buffer`; `challenge` is the server's, for a request signed with it. Returns the
/// request's length, or 0 after reporting that it does not fit.
std::size_t lay_form(std::span<char> buffer, request_form form, std::string_view password,
                     std::string_view command, std::string_view challenge)
{
    if (form != request_form::rcon && form != request_form::plain)
        return lay_signed(buffer, form, password, command, challenge);
    const std::array<std::string_view, 6> parts{k_header, "rcon", " ", password, " ", command};
    return lay_request(buffer, parts);
}

/// Reports a failed call in perror form: `action`, what was tried and what came back.
void report_failure(const char *action, std::size_t tried, ssize_t rc)
{
    std::array<char, k_error_text_size> text;
    std::snprintf(text.data(), text.size(), "%s (tried=%d, rc=%d)", action, static_cast<int>(tried),
                  static_cast<int>(rc));
    std::perror(text.data());
}

/// Reports that receiving failed with `rc`.
void report_receive_failure(ssize_t rc)
{
    if (rc == 0) errno = 0; // an empty datagram is no error of the system's
    report_failure("Error receiving UDP packet", k_exchange_size, rc);
}

/// The time now. (std::chrono::steady_clock would say the same, but it lives in libstdc++,
/// which telk otherwise does without at run time.)
instant now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

/// One request on its way: where it went, and when its reply must be complete.
struct round_trip {
    int sock;
    const target &to;
    instant deadline;
    /// The next receive may wait by itself, bounded by the socket, whose bound starts with the
    /// receive: true only while nothing has taken time since the deadline was set.
    bool on_socket_bound = true;
    /// How many more datagrams may be taken that were queued when their wait had run out:
    /// more than the socket can hold, and yet an end to a flood.
    int late_reads_left = k_late_reads;
};

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
    return header != nullptr &&
           ((header->cmsg_level == SOL_IP && header->cmsg_type == IP_RECVERR) ||
            (header->cmsg_level == SOL_IPV6 && header->cmsg_type == IPV6_RECVERR));
}

/// Takes every error that the system has queued on the socket of `trip`. Leaves errno alone.
queued_errors take_errors(const round_trip &trip)
{
    const int saved_errno = errno;
    queued_errors found;
    for (;;) {
        target about; // where the datagram that met the error was going
        alignas(cmsghdr)
            std::array<char, CMSG_SPACE(sizeof(sock_extended_err) + sizeof about.address)>
                control;
        msghdr message{};
        message.msg_name = &about.address;
        message.msg_namelen = sizeof about.address;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        if (recvmsg(trip.sock, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break; // none left
        found.any = true;
        const cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (!is_error_report(header)) continue;
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
    bool tried_again = false; // after a failure with no report queued
    for (;;) {
        const ssize_t sent = sendto(trip.sock, request.data(), request.size(), 0,
                                    &trip.to.address.any, trip.to.length);
        if (sent >= 0 || now() >= trip.deadline) return sent;
        if (!take_errors(trip).any && std::exchange(tried_again, true)) return sent;
        trip.on_socket_bound = false;
    }
}

/// Waits until something can be received on the socket of `trip`, but not past `until`; once
/// `until` has passed, what is queued already still counts: it came in time, even when telk
/// was stopped while it came. Returns 1 when something can be received, 0 with errno
/// ETIMEDOUT once `until` has passed and nothing is queued, or -1 when waiting failed.
int wait_until(round_trip &trip, instant until)
{
    bool waited_out = false; // a wait that ended with the time found nothing queued
    for (;;) {
        pollfd watched{trip.sock, POLLIN, 0};
        const auto left = std::chrono::ceil<microseconds>(until - now());
        if (left.count() <= 0) {
            if (!waited_out && trip.late_reads_left > 0 && poll(&watched, 1, 0) > 0) {
                --trip.late_reads_left;
                return 1;
            }
            errno = ETIMEDOUT;
            return 0;
        }
        const timespec limit = as_timespec(left);
        const int ready = ppoll(&watched, 1, &limit, nullptr);
        if (ready > 0) return 1;
        waited_out = ready == 0;
        if (ready < 0 && errno != EINTR) return -1; // interrupted (Ctrl-Z, fg): wait on
    }
}

/// Receives the next datagram of the reply into `room`, cut to its size, by `until` at the
/// latest. An error the system queued that does not say the target is unreachable is taken
/// off and waited past. Returns the datagram's length, or -1 with errno set: ETIMEDOUT when
/// `until` passed first.
ssize_t next_datagram(round_trip &trip, std::span<char> room, instant until)
{
    for (;;) {
        // The first receive of an exchange waits by itself, bounded by the socket, so that a
        // reply in one datagram costs one call; every later one waits for what is left.
        const bool blocking = std::exchange(trip.on_socket_bound, false);
        if (!blocking && wait_until(trip, until) <= 0) return -1;
        const ssize_t rc = recvfrom(trip.sock, room.data(), room.size(),
                                    blocking ? 0 : MSG_DONTWAIT, nullptr, nullptr);
        if (rc >= 0) return rc;
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

/// A reply ends with a full buffer, or at a newline once more than the header has arrived.
bool reply_complete(std::span<const char> buffer, std::size_t received)
{
    return received == buffer.size() ||
           (received > k_header.size() && buffer[received - 1] == '\n');
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
        if (rc < 0 && errno == ETIMEDOUT && received > k_header.size())
            return received; // the server went quiet: what came is the reply
        report_receive_failure(rc);
        return 0;
    }
    return received;
}

/// How the replies to requests in `form` open and colour their text.
text_dialect dialect_of(request_form form)
{
    return form == request_form::rcon ? text_dialect::print_line : text_dialect::marker_n;
}

/// The line of a reply's first datagram that a later datagram of the same reply repeats
/// behind its header: in `dialect`, the datagram's first line, newline included, copied into
/// `room`; empty when it has none or it does not fit.
std::string_view opening_line(std::string_view datagram, text_dialect dialect, std::span<char> room)
{
    if (dialect == text_dialect::marker_n) return "n";
    if (datagram.size() <= k_header.size()) return {};
    const std::string_view text = datagram.substr(k_header.size());
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos || newline >= room.size()) return {};
    std::copy_n(text.begin(), newline + 1, room.begin());
    return {room.data(), newline + 1};
}

/// What a later datagram adds to a reply: all of it when it has no header, otherwise what
/// follows the header and the repeated `opening`, if it repeats it.
std::string_view piece_text(std::string_view datagram, std::string_view opening)
{
    if (!datagram.starts_with(k_header)) return datagram;
    datagram.remove_prefix(k_header.size());
    if (!opening.empty() && datagram.starts_with(opening)) datagram.remove_prefix(opening.size());
    return datagram;
}

/// Says that a reply did not open with the header. Returns 0: that is no failure.
int complain_of_header()
{
    std::fputs("Invalid buffer header.  Sorry.\n", stderr);
    return 0;
}

/// Ends a reply's text: a newline, or the end of clean text. A reply shows at a terminal as
/// soon as it is complete.
void end_text(bool clean)
{
    if (clean)
        end_clean_text();
    else
        write_out("\n");
    if (output_is_terminal()) flush_out();
}

/// What servers answer a request whose password they refuse, as a reply's whole text.
constexpr std::array<std::string_view, 2> k_refusals{"print\nBad rconpassword.\n",
                                                     "print\nNo rconpassword set on the server.\n"};
/// Holds the longest of k_refusals.
constexpr std::size_t k_refusal_size =
    std::max_element(k_refusals.begin(), k_refusals.end(),
                     [](auto a, auto b) { return a.size() < b.size(); }) -> size();

/// Whether the reply text `text` says that the server refused the password; if so, says so
/// on standard error.
bool refused_password(std::string_view text)
{
    if (std::find(k_refusals.begin(), k_refusals.end(), text) == k_refusals.end()) return false;
    std::fputs("The server refused the password\n", stderr);
    return true;
}

/// A reply printed as it comes, in pieces: its header checked, its text written out.
struct reply_stream {
    bool clean;                               // its text written as clean text
    std::size_t received = 0;                 // bytes of the reply so far, its header's included
    bool header_ok = true;                    // what has come of the header so far is the header
    std::array<char, k_refusal_size> start{}; // the text's first bytes, to tell a refusal
};

/// Appends `piece` to `reply`: the bytes of the header it holds are checked, its text
/// printed once the header has come whole.
void add_piece(reply_stream &reply, std::string_view piece)
{
    const std::size_t header_part =
        std::min(piece.size(), k_header.size() - std::min(reply.received, k_header.size()));
    reply.header_ok = reply.header_ok && piece.starts_with(k_header.substr(0, header_part));
    const std::size_t at = reply.received + header_part - k_header.size(); // in the text
    reply.received += piece.size();
    const std::string_view text = piece.substr(header_part);
    if (!reply.header_ok || text.empty()) return;
    if (at < reply.start.size())
        std::copy_n(text.begin(), std::min(text.size(), reply.start.size() - at),
                    reply.start.begin() + static_cast<std::ptrdiff_t>(at));
    if (reply.clean)
        write_clean_piece(text);
    else
        write_out(text);
}

/// Ends `reply`, or complains that it had no header. Returns 1 when the server refused the
/// password, or 0.
int end_reply(const reply_stream &reply)
{
    if (!reply.header_ok) return complain_of_header();
    end_text(reply.clean);
    const std::size_t length = reply.received - k_header.size();
    return length <= reply.start.size() && refused_password({reply.start.data(), length}) ? 1 : 0;
}

/// Collects a reply of several datagrams and prints its text as it comes, whatever its size:
/// once more than the header has come, the reply ends when `quiet` passes without a
/// datagram, or the bound passes. Empty datagrams are no part of it. Returns 0 once the
/// reply was printed or refused for its header, or 1 after reporting the failure, or that the
/// server refused the password.
int collect_until_quiet(round_trip &trip, std::span<char> buffer, const exchange_rules &rules)
{
    reply_stream reply{rules.clean};
    if (rules.clean) start_clean_text(dialect_of(rules.form));
    std::string_view opening;
    instant until = trip.deadline;
    for (;;) {
        const ssize_t rc = next_datagram(trip, scratch, until);
        if (rc < 0 && errno == ETIMEDOUT && reply.received > k_header.size()) break;
        if (rc < 0) {
            report_receive_failure(rc);
            return 1;
        }
        if (rc == 0) continue;
        const std::string_view datagram{scratch.data(), static_cast<std::size_t>(rc)};
        if (reply.received == 0) {
            opening = opening_line(datagram, dialect_of(rules.form), buffer);
            add_piece(reply, datagram);
        } else {
            add_piece(reply, piece_text(datagram, opening));
        }
        if (reply.received > k_header.size()) until = std::min(trip.deadline, now() + rules.quiet);
    }
    return end_reply(reply);
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
    constexpr std::string_view ask{"\xff\xff\xff\xffgetchallenge"};
    constexpr std::string_view answer{"\xff\xff\xff\xff"
                                      "challenge "};
    const ssize_t sent = send_request(trip, ask);
    if (sent != static_cast<ssize_t>(ask.size())) {
        report_failure("Could not send UDP packet", ask.size(), sent);
        return 1;
    }
    for (;;) {
        const ssize_t rc = next_datagram(trip, scratch, trip.deadline);
        if (rc < 0) {
            std::perror("No challenge came from the server");
            return 1;
        }
        const std::string_view datagram{scratch.data(), static_cast<std::size_t>(rc)};
        if (!datagram.starts_with(answer)) continue;
        challenge = datagram.substr(answer.size());
        challenge = challenge.substr(0, challenge.find('\0'));
        return 0;
    }
}

} // namespace

int prepare_socket(int sock, int family, microseconds bound, bool collecting)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(bound);
    const timeval limit{seconds.count(), (bound - seconds).count()};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        std::perror("Couldn't set UDP socket timeout");
        return 1;
    }
    const int on = 1;
    const bool v6 = family == AF_INET6;
    if (setsockopt(sock, v6 ? SOL_IPV6 : SOL_IP, v6 ? IPV6_RECVERR : IP_RECVERR, &on, sizeof on) !=
        0) {
        std::perror("Couldn't set UDP socket error reporting");
        return 1;
    }
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
    round_trip trip{sock, to, now() + rules.bound};
    if (rules.quiet.count() > 0) drop_waiting(trip);
    std::string_view challenge;
    if (rules.form == request_form::signed_by_challenge && get_challenge(trip, challenge) != 0)
        return 1;
    const std::size_t length = lay_form(buffer, rules.form, password, command, challenge);
    if (length == 0) return 1;
    const ssize_t sent = send_request(trip, {buffer.data(), length});
    if (sent != static_cast<ssize_t>(length)) {
        report_failure("Could not send UDP packet", length, sent);
        return 1;
    }

    if (rules.quiet.count() > 0) return collect_until_quiet(trip, buffer, rules);
    const std::size_t received = receive_reply(trip, buffer);
    if (received == 0) return 1;
    return print_buffer({buffer.data(), received}, rules.clean, dialect_of(rules.form));
}

int print_buffer(std::span<const char> reply, bool clean, text_dialect dialect)
{
    const std::string_view bytes{reply.data(), reply.size()};
    if (!bytes.starts_with(k_header)) return complain_of_header();
    const std::string_view text = bytes.substr(k_header.size());
    if (clean) {
        start_clean_text(dialect);
        write_clean_piece(text);
    } else {
        write_out(text);
    }
    end_text(clean);
    return refused_password(text) ? 1 : 0;
}
