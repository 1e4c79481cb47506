// A remote-console server to try telk against, on 127.0.0.1 only.
//
// It answers every request that carries its password with a line that repeats the command,
// answers a wrong password with a refusal, ignores any other datagram, and stops by itself
// once nothing has come for a while. It goes into the background as soon as it listens, so
// that "telk-demo-server ... && telk ..." never sends before anyone listens.
#include <algorithm>
#include <array>
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
constexpr const char *k_usage = "Usage: telk-demo-server port password [idle-seconds]\n";
constexpr long k_default_idle_seconds = 60;
constexpr std::size_t k_datagram_size = 65536;

/// Reads a whole decimal number from `min` to `max` into `value`; returns 0, or 1 if it is none.
int read_number(const char *text, long min, long max, long &value)
{
    char *end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= min && value <= max ? 0 : 1;
}

/// Opens a UDP socket on 127.0.0.1:`port` whose waits end after `idle_seconds`.
/// Returns it, or -1 after reporting why not.
int listen_on(long port, long idle_seconds)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_port = htons(static_cast<in_port_t>(port));
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval idle{idle_seconds, 0};
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&self), sizeof self) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle) != 0) {
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

/// Lays out the answer to `request` in `reply`; returns its length, or 0 when the request is
/// no remote-console request and gets no answer.
std::size_t answer(std::string_view request, std::string_view password, std::span<char> reply)
{
    const std::string_view intro = "rcon ";
    if (!request.starts_with(k_header) || !request.substr(k_header.size()).starts_with(intro))
        return 0;
    request.remove_prefix(k_header.size() + intro.size());
    const bool allowed = request.starts_with(password) && request.size() > password.size() &&
                         request[password.size()] == ' ';
    char *at = put(reply.data(), k_header);
    if (allowed) {
        at = put(at, "demo: you said \"");
        at = put(at, request.substr(password.size() + 1));
        at = put(at, "\"\n");
    } else {
        at = put(at, "demo: wrong password\n");
    }
    return static_cast<std::size_t>(at - reply.data());
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
        const std::size_t length =
            answer({request.data(), static_cast<std::size_t>(got)}, password, reply);
        if (length > 0)
            sendto(sock, reply.data(), length, 0, reinterpret_cast<sockaddr *>(&peer), peer_size);
    }
    close(sock);
    return 0;
}
