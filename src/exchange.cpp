#include "exchange.hpp"
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

/// Datagrams received only to be cut or dropped. Static, like the exchange buffer: on the
/// stack it would make every run's stack pages resident, collecting or not.
std::array<char, k_datagram_size> scratch;

/// Lays out header, verb, password and command, blank-separated, at the start of `buffer`;
/// no terminator. Returns the request's length, or 0 after reporting that it does not fit.
std::size_t lay_request(std::span<char> buffer, std::string_view password, std::string_view command)
{
    const std::array<std::string_view, 6> parts{k_header, "rcon", " ", password, " ", command};
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

/// Reports a failed call in perror form: `action`, what was tried and what came back.
void report_failure(const char *action, std::size_t tried, ssize_t rc)
{
    std::array<char, k_error_text_size> text;
    std::snprintf(text.data(), text.size(), "%s (tried=%d, rc=%d)", action, static_cast<int>(tried),
                  static_cast<int>(rc));
    std::perror(text.data());
}

/// Reports that receiving failed with `rc`; returns 0, the length of no reply.
std::size_t fail_receive(ssize_t rc)
{
    if (rc == 0) errno = 0; // an empty datagram is no error of the system's
    report_failure("Error receiving UDP packet", k_exchange_size, rc);
    return 0;
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

/// Sends `request`. An error that the system queued before, about an earlier datagram, fails
/// the send; it is no failure of this request, so it is taken off and the send tried again.
/// Returns sendto's result.
ssize_t send_request(round_trip &trip, std::span<const char> request)
{
    for (;;) {
        const ssize_t sent = sendto(trip.sock, request.data(), request.size(), 0,
                                    &trip.to.address.any, trip.to.length);
        if (sent >= 0 || now() >= trip.deadline || !take_errors(trip).any) return sent;
        trip.on_socket_bound = false;
    }
}

/// Waits until something can be received on `sock`, but not past `until`. Returns 1 when it
/// can, 0 with errno ETIMEDOUT once `until` has passed, or -1 when waiting failed.
int wait_until(int sock, instant until)
{
    for (;;) {
        const auto left = std::chrono::ceil<microseconds>(until - now());
        if (left.count() <= 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        const timespec limit = as_timespec(left);
        pollfd watched{sock, POLLIN, 0};
        const int ready = ppoll(&watched, 1, &limit, nullptr);
        if (ready > 0) return 1;
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
        if (!blocking && wait_until(trip.sock, until) <= 0) return -1;
        const ssize_t rc = recvfrom(trip.sock, room.data(), room.size(),
                                    blocking ? 0 : MSG_DONTWAIT, nullptr, nullptr);
        if (rc >= 0) return rc;
        if (errno == EAGAIN || errno == EINTR) continue; // a wait that ended early or was cut
        const queued_errors queued = take_errors(trip);
        if (!queued.any) return -1;
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
        if (rc > 0)
            received += static_cast<std::size_t>(rc);
        else if (rc < 0 && errno == ETIMEDOUT && received > k_header.size())
            return received; // the server went quiet: what came is the reply
        else
            return fail_receive(rc);
    }
    return received;
}

/// The text of the first datagram's first line, newline included; empty when it has none.
std::string_view first_line(std::string_view datagram)
{
    if (datagram.size() <= k_header.size()) return {};
    const std::string_view text = datagram.substr(k_header.size());
    const std::size_t newline = text.find('\n');
    return newline == std::string_view::npos ? std::string_view{} : text.substr(0, newline + 1);
}

/// What a later datagram adds to a reply: all of it when it has no header, otherwise what
/// follows the header and the repeated `opening_line`, if it repeats it.
std::string_view piece_text(std::string_view datagram, std::string_view opening_line)
{
    if (!datagram.starts_with(k_header)) return datagram;
    datagram.remove_prefix(k_header.size());
    if (!opening_line.empty() && datagram.starts_with(opening_line))
        datagram.remove_prefix(opening_line.size());
    return datagram;
}

/// Collects a reply of several datagrams into `buffer`: once more than the header has come,
/// the reply ends when `quiet` passes without a datagram, the bound passes, or the buffer is
/// full. Returns the reply's length, or 0 after reporting the failure.
std::size_t collect_until_quiet(round_trip &trip, std::span<char> buffer, microseconds quiet)
{
    std::size_t received = 0;
    std::string_view opening_line;
    instant until = trip.deadline;
    while (received < buffer.size()) {
        const ssize_t rc = next_datagram(trip, received == 0 ? buffer : std::span{scratch}, until);
        if (rc < 0 && errno == ETIMEDOUT && received > k_header.size()) return received;
        if (rc <= 0) return fail_receive(rc);
        const auto length = static_cast<std::size_t>(rc);
        if (received == 0) {
            received = length;
            opening_line = first_line({buffer.data(), received});
        } else {
            const std::string_view text = piece_text({scratch.data(), length}, opening_line);
            const std::size_t kept = std::min(text.size(), buffer.size() - received);
            std::copy_n(text.begin(), kept, buffer.begin() + static_cast<std::ptrdiff_t>(received));
            received += kept;
        }
        if (received > k_header.size()) until = std::min(trip.deadline, now() + quiet);
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
        if (rc < 0 && !take_errors(trip).any) return;
    }
}

} // namespace

int prepare_socket(int sock, int family, microseconds bound)
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
    return 0;
}

int send_command(int sock, const target &to, std::string_view password, std::string_view command,
                 const exchange_rules &rules)
{
    // The request, then the reply over it. Static, like the scratch datagram: a 32 KiB frame
    // would be probed page by page under stack clash protection, and all of it made resident.
    static std::array<char, k_exchange_size> buffer;
    const std::size_t length = lay_request(buffer, password, command);
    if (length == 0) return 1;

    round_trip trip{sock, to, now() + rules.bound};
    if (rules.quiet.count() > 0) drop_waiting(trip);
    const ssize_t sent = send_request(trip, {buffer.data(), length});
    if (sent != static_cast<ssize_t>(length)) {
        report_failure("Could not send UDP packet", length, sent);
        return 1;
    }

    const std::size_t received = rules.quiet.count() == 0
                                     ? receive_reply(trip, buffer)
                                     : collect_until_quiet(trip, buffer, rules.quiet);
    if (received == 0) return 1;
    print_buffer({buffer.data(), received}, rules.clean);
    return 0;
}

void print_buffer(std::span<const char> reply, bool clean)
{
    const std::string_view bytes{reply.data(), reply.size()};
    if (!bytes.starts_with(k_header)) {
        std::fputs("Invalid buffer header.  Sorry.\n", stderr);
        return;
    }
    if (clean) {
        write_clean_text(bytes.substr(k_header.size()));
    } else {
        write_out(bytes.substr(k_header.size()));
        write_out("\n");
    }
    if (output_is_terminal()) flush_out(); // a reply shows as soon as it is complete
}
