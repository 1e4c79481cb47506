// A remote-console server to try telk against, on 127.0.0.1 only, that answers the way real
// servers do.
//
// Every reply datagram opens with the header and the line "print". A request with the right
// password is answered with a line that repeats the command, except "list", which answers
// with a listing of several kilobytes; a wrong password gets the refusal real servers send;
// a request for a challenge gets the answer real servers of plain requests give; any other
// datagram is ignored. Long replies go out in pieces of about a kilobyte, cut wherever the
// kilobyte ends, each opening with the header and "print" again.
//
// It goes into the background as soon as it listens, so that "telk-demo-server ... && telk
// ..." never sends before anyone listens, and stops by itself once nothing has come for a
// while. A new demo server on the same port takes over from the old one.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr std::string_view k_header{"\xff\xff\xff\xff", 4};
/// Opens every reply datagram.
constexpr std::string_view k_opening{"\xff\xff\xff\xffprint\n", 10};
/// Asks a running demo server to give up its port to a new one.
constexpr std::string_view k_stop{"\xff\xff\xff\xff"
                                  "demo-stop"};
/// A request for a challenge, and how servers of plain requests answer it.
constexpr std::string_view k_ask_challenge{"\xff\xff\xff\xffgetchallenge"};
constexpr std::string_view k_challenge_answer{"\xff\xff\xff\xff"
                                              "challengeResponse 1\n"};
constexpr const char *k_usage = "Usage: telk-demo-server port password [idle-seconds]\n";
constexpr long k_default_idle_seconds = 60;
constexpr std::size_t k_datagram_size = 65536;
/// Text in one reply datagram; the listing's lines do not divide it, so most pieces end
/// within a line, but every sixth ends with one.
constexpr std::size_t k_piece_size = 1000;
constexpr int k_listing_lines = 150;

/// Reads a whole decimal number from `min` to `max` into `value`; returns 0, or 1 if it is none.
int read_number(const char *text, long min, long max, long &value)
{
    char *end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= min && value <= max ? 0 : 1;
}

sockaddr_in loopback(long port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<in_port_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int set_wait(int sock, long seconds)
{
    const timeval wait{seconds, 0};
    return setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

/// Asks the demo server on `port` to stop, and waits up to a second for its word that it has
/// let the port go. Returns 0 once it has, or 1 with errno saying the port is taken.
int stop_previous(long port)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = loopback(port);
    std::array<char, 64> ack;
    const bool stopped =
        sock >= 0 && set_wait(sock, 1) == 0 &&
        sendto(sock, k_stop.data(), k_stop.size(), 0, reinterpret_cast<const sockaddr *>(&to),
               sizeof to) == static_cast<ssize_t>(k_stop.size()) &&
        recv(sock, ack.data(), ack.size(), 0) > 0;
    if (sock >= 0) close(sock);
    errno = EADDRINUSE; // whatever else failed, that is what stops this server
    return stopped ? 0 : 1;
}

/// Opens a UDP socket on 127.0.0.1:`port` whose waits end after `idle_seconds`, taking the
/// port over from an earlier demo server. Returns it, or -1 after reporting why not.
int listen_on(long port, long idle_seconds)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in self = loopback(port);
    const auto bind_self = [&] {
        return bind(sock, reinterpret_cast<const sockaddr *>(&self), sizeof self);
    };
    const bool bound =
        sock >= 0 &&
        (bind_self() == 0 || (errno == EADDRINUSE && stop_previous(port) == 0 && bind_self() == 0));
    if (!bound || set_wait(sock, idle_seconds) != 0) {
        std::perror("telk-demo-server");
        return -1;
    }
    return sock;
}

/// Leaves the caller's terminal and pipes alone: the parent returns to the shell at once.
void go_to_background()
{
    if (fork() != 0) std::_Exit(0);
    setsid();
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd)
        dup2(null, fd);
}

char *put(char *at, std::string_view text) { return std::copy(text.begin(), text.end(), at); }

/// Lays out the listing that "list" answers with: numbered lines of equal length.
char *put_listing(char *at)
{
    for (int line = 1; line <= k_listing_lines; ++line)
        at += std::sprintf(at, "line %03d of %03d: the quick brown fox jumps over\n", line,
                           k_listing_lines);
    return at;
}

/// Lays out the text of the answer to `request` in `reply`; returns its length, or 0 when
/// the request is no remote-console request and gets no answer.
std::size_t answer(std::string_view request, std::string_view password, std::span<char> reply)
{
    const std::string_view intro = "rcon ";
    if (!request.starts_with(k_header) || !request.substr(k_header.size()).starts_with(intro))
        return 0;
    request.remove_prefix(k_header.size() + intro.size());
    const bool allowed = request.starts_with(password) && request.size() > password.size() &&
                         request[password.size()] == ' ';
    char *at = reply.data();
    if (!allowed) {
        at = put(at, "Bad rconpassword.\n");
    } else if (const std::string_view command = request.substr(password.size() + 1);
               command == "list") {
        at = put_listing(at);
    } else {
        at = put(at, "demo: you said \"");
        at = put(at, command);
        at = put(at, "\"\n");
    }
    return static_cast<std::size_t>(at - reply.data());
}

/// Sends `text` to `peer` in pieces of at most k_piece_size, each behind the opening.
void send_in_pieces(int sock, const sockaddr_in &peer, std::string_view text)
{
    std::array<char, k_opening.size() + k_piece_size> datagram;
    put(datagram.data(), k_opening);
    do {
        const std::string_view piece = text.substr(0, k_piece_size);
        put(datagram.data() + k_opening.size(), piece);
        sendto(sock, datagram.data(), k_opening.size() + piece.size(), 0,
               reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
        text.remove_prefix(piece.size());
    } while (!text.empty());
}

} // namespace

int main(int argc, char *argv[])
{
    long port = 0;
    long idle = k_default_idle_seconds;
    if (argc < 3 || argc > 4 || read_number(argv[1], 1, 65535, port) != 0 ||
        (argc == 4 && read_number(argv[3], 1, 86400, idle) != 0)) {
        std::fputs(k_usage, stderr);
        return 1;
    }
    const int sock = listen_on(port, idle);
    if (sock < 0) return 1;
    go_to_background();

    const std::string_view password = argv[2];
    std::array<char, k_datagram_size> request;
    std::array<char, k_datagram_size + 64> reply; // the request's command and some words
    for (;;) {
        sockaddr_in peer{};
        socklen_t peer_size = sizeof peer;
        const ssize_t got = recvfrom(sock, request.data(), request.size(), 0,
                                     reinterpret_cast<sockaddr *>(&peer), &peer_size);
        if (got < 0) break; // idle for long enough: stop
        const std::string_view datagram{request.data(), static_cast<std::size_t>(got)};
        if (datagram == k_stop) {
            close(sock); // the port is free before the new server hears so
            const int ack = socket(AF_INET, SOCK_DGRAM, 0);
            sendto(ack, k_header.data(), k_header.size(), 0,
                   reinterpret_cast<const sockaddr *>(&peer), peer_size);
            close(ack);
            return 0;
        }
        if (datagram.starts_with(k_ask_challenge)) {
            sendto(sock, k_challenge_answer.data(), k_challenge_answer.size(), 0,
                   reinterpret_cast<const sockaddr *>(&peer), peer_size);
            continue;
        }
        const std::size_t length = answer(datagram, password, reply);
        if (length > 0) send_in_pieces(sock, peer, {reply.data(), length});
    }
    close(sock);
    return 0;
}
