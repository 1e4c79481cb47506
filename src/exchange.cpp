#include "exchange.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

using std::chrono::microseconds;

/// Opens every datagram, in both directions.
constexpr std::string_view k_header{"\xff\xff\xff\xff", 4};
constexpr std::size_t k_error_text_size = 64;
/// Holds any UDP datagram whole.
constexpr std::size_t k_datagram_size = 65536;

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

sockaddr_in destination(in_addr_t address, int port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port)); // a port is the low 16 bits
    to.sin_addr.s_addr = address;
    return to;
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
    if (rc < 0 && errno == EAGAIN) errno = ETIMEDOUT; // the socket's wait bound passed
    report_failure("Error receiving UDP packet", k_exchange_size, rc);
    return 0;
}

/// Receives one datagram into `room`, cut to its size. Returns recvfrom's result.
ssize_t receive(int sock, std::span<char> room)
{
    ssize_t rc = 0;
    do // stopped and continued (Ctrl-Z, fg): the wait goes on
        rc = recvfrom(sock, room.data(), room.size(), 0, nullptr, nullptr);
    while (rc < 0 && errno == EINTR);
    return rc;
}

/// A reply ends with a full buffer, or at a newline once more than the header has arrived.
bool reply_complete(std::span<const char> buffer, std::size_t received)
{
    return received == buffer.size() ||
           (received > k_header.size() && buffer[received - 1] == '\n');
}

/// Receives datagrams appended to each other in `buffer` until the reply is complete.
/// Returns the reply's length, or 0 after reporting the failure.
std::size_t receive_reply(int sock, std::span<char> buffer)
{
    std::size_t received = 0;
    while (!reply_complete(buffer, received)) {
        const ssize_t rc = receive(sock, buffer.subspan(received));
        if (rc > 0)
            received += static_cast<std::size_t>(rc);
        else if (rc < 0 && errno == EAGAIN && received > k_header.size())
            return received; // the server went quiet: what came is the reply
        else
            return fail_receive(rc);
    }
    return received;
}

/// Waits up to `quiet` for a datagram on `sock`. Returns 1 when one (or an error) waits to be
/// received, 0 when none came, or -1 when the wait itself failed.
int wait_for_datagram(int sock, microseconds quiet)
{
    const timespec limit = as_timespec(quiet);
    pollfd watched{sock, POLLIN, 0};
    int rc = 0;
    do
        rc = ppoll(&watched, 1, &limit, nullptr);
    while (rc < 0 && errno == EINTR);
    return rc;
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
/// the reply ends when `quiet` passes without a datagram or the buffer is full.
/// Returns the reply's length, or 0 after reporting the failure.
std::size_t collect_until_quiet(int sock, std::span<char> buffer, microseconds quiet)
{
    // A later piece whole, before its opening goes. Static: on the stack it would make every
    // run's stack pages resident, collecting or not.
    static std::array<char, k_datagram_size> datagram;
    std::size_t received = 0;
    std::string_view opening_line;
    while (received < buffer.size()) {
        if (received > k_header.size()) {
            const int ready = wait_for_datagram(sock, quiet);
            if (ready == 0) return received;
            if (ready < 0) return fail_receive(-1);
        }
        const ssize_t rc = receive(sock, received == 0 ? buffer : std::span{datagram});
        if (rc <= 0) return fail_receive(rc);
        const auto length = static_cast<std::size_t>(rc);
        if (received == 0) {
            received = length;
            opening_line = first_line({buffer.data(), received});
            continue;
        }
        const std::string_view text = piece_text({datagram.data(), length}, opening_line);
        const std::size_t kept = std::min(text.size(), buffer.size() - received);
        std::copy_n(text.begin(), kept, buffer.begin() + static_cast<std::ptrdiff_t>(received));
        received += kept;
    }
    return received;
}

} // namespace

int prepare_socket(int sock, microseconds wait)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timeval limit{seconds.count(), (wait - seconds).count()};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        std::perror("Couldn't set UDP socket timeout");
        return 1;
    }
    const int on = 1;
    if (setsockopt(sock, SOL_IP, IP_RECVERR, &on, sizeof on) != 0) {
        std::perror("Couldn't set UDP socket error reporting");
        return 1;
    }
    return 0;
}

int send_command(int sock, in_addr_t address, int port, std::string_view password,
                 std::string_view command, microseconds quiet)
{
    // The request, then the reply over it. Static, like the -q scratch: a 32 KiB frame would
    // be probed page by page under stack clash protection, and all of it made resident.
    static std::array<char, k_exchange_size> buffer;
    const std::size_t length = lay_request(buffer, password, command);
    if (length == 0) return 1;

    const sockaddr_in to = destination(address, port);
    const ssize_t sent =
        sendto(sock, buffer.data(), length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    if (sent != static_cast<ssize_t>(length)) {
        report_failure("Could not send UDP packet", length, sent);
        return 1;
    }

    const std::size_t received =
        quiet.count() == 0 ? receive_reply(sock, buffer) : collect_until_quiet(sock, buffer, quiet);
    if (received == 0) return 1;
    print_buffer({buffer.data(), received});
    return 0;
}

void print_buffer(std::span<const char> reply)
{
    if (!std::string_view{reply.data(), reply.size()}.starts_with(k_header)) {
        std::fputs("Invalid buffer header.  Sorry.\n", stderr);
        return;
    }
    std::fwrite(reply.data() + k_header.size(), 1, reply.size() - k_header.size(), stdout);
    std::putchar('\n');
}
