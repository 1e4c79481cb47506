#include "exchange.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

/// Opens every datagram, in both directions.
constexpr std::string_view k_header{"\xff\xff\xff\xff", 4};
constexpr std::string_view k_verb{"rcon"};
constexpr std::size_t k_error_text_size = 64;

constexpr std::size_t request_length(std::string_view password, std::string_view command)
{
    return k_header.size() + k_verb.size() + 1 + password.size() + 1 + command.size();
}

char *put(char *at, std::string_view text) { return std::copy(text.begin(), text.end(), at); }

/// Lays out header, verb, password and command, blank-separated, from `at`; no terminator.
void lay_request(char *at, std::string_view password, std::string_view command)
{
    at = put(at, k_header);
    at = put(at, k_verb);
    at = put(at, " ");
    at = put(at, password);
    at = put(at, " ");
    put(at, command);
}

sockaddr_in destination(in_addr_t address, int port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port)); // a port is the low 16 bits
    to.sin_addr.s_addr = address;
    return to;
}

/// A reply ends with a full buffer, or at a newline once more than the header has arrived.
bool reply_complete(std::span<const char> buffer, std::size_t received)
{
    return received == buffer.size() ||
           (received > k_header.size() && buffer[received - 1] == '\n');
}

/// Reports a failed call in perror form, its message made from `format`, `tried` and `rc`.
void report_failure(const char *format, int tried, int rc)
{
    std::array<char, k_error_text_size> text;
    std::snprintf(text.data(), text.size(), format, tried, rc);
    std::perror(text.data());
}

/// Receives datagrams one behind the other into `buffer` until the reply is complete.
/// Returns the reply's length, or 0 after reporting the failure.
std::size_t receive_reply(int sock, std::span<char> buffer)
{
    std::size_t received = 0;
    while (!reply_complete(buffer, received)) {
        const ssize_t rc =
            recvfrom(sock, &buffer[received], buffer.size() - received, 0, nullptr, nullptr);
        if (rc > 0) {
            received += static_cast<std::size_t>(rc);
            continue;
        }
        if (rc < 0 && errno == EINTR)
            continue; // stopped and continued (Ctrl-Z, fg): the wait goes on
        if (rc < 0 && errno == EAGAIN) {
            if (received > k_header.size())
                return received; // the server went quiet: what came is the reply
            errno = ETIMEDOUT;
        }
        report_failure("Error receiving UDP packet (tried=%d, rc=%d)",
                       static_cast<int>(buffer.size()), static_cast<int>(rc));
        return 0;
    }
    return received;
}

} // namespace

int set_reply_wait(int sock)
{
    const timeval wait{k_reply_wait_seconds, 0};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0) return 0;
    std::perror("Couldn't set UDP socket timeout");
    return 1;
}

int send_command(int sock, in_addr_t address, int port, std::string_view password,
                 std::string_view command)
{
    std::array<char, k_exchange_size> buffer; // the request, then the reply over it
    const std::size_t length = request_length(password, command);
    if (length > buffer.size()) {
        std::fprintf(stderr, "Request too long (tried=%zu, max=%zu)\n", length, buffer.size());
        return 1;
    }
    lay_request(buffer.data(), password, command);

    const sockaddr_in to = destination(address, port);
    const ssize_t sent =
        sendto(sock, buffer.data(), length, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    if (sent != static_cast<ssize_t>(length)) {
        report_failure("Could not send UDP packet (tried=%d, rc=%d)", static_cast<int>(length),
                       static_cast<int>(sent));
        return 1;
    }

    const std::size_t received = receive_reply(sock, buffer);
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
