// The process entry: command line, target, the run's socket, the command sources, exit status.
#include "exchange.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int k_default_port = 27960;
/// One line of standard input: longer lines go out in pieces of one byte less.
constexpr std::size_t k_line_size = 1024;
/// What the C library would choose for a pipe or a file here.
constexpr std::size_t k_stream_buffer_size = 4096;

/// Owns the run's socket: closed on every way out of main.
class socket_owner {
  public:
    explicit socket_owner(int fd) : fd_(fd) {}
    socket_owner(const socket_owner &) = delete;
    socket_owner &operator=(const socket_owner &) = delete;
    ~socket_owner()
    {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

/// What every exchange of a run goes to, and with which password.
struct session {
    int sock;
    in_addr_t address;
    int port;
    std::string_view password;
};

/// Room for the longest single argument Linux hands a program, its zero byte included.
constexpr std::size_t k_argument_size = 131072;

/// The run's buffers in static storage, so that telk allocates nothing. Only the pages in use
/// become resident; the password comes first, so that a short one shares the page that the
/// C library's stream pointers next to it keep resident anyway.
struct {
    std::array<char, k_argument_size> password;
    std::array<char, k_stream_buffer_size> output;
    std::array<char, k_stream_buffer_size> input;
} storage;

/// Moves the password out of `argument` into storage and overwrites it there with zero
/// bytes, so that the process list (ps, /proc/PID/cmdline) no longer shows it, in interactive
/// mode possibly for hours. Returns the password.
std::string_view hide_password(char *argument)
{
    const std::size_t length = std::min(std::strlen(argument), storage.password.size());
    std::memcpy(storage.password.data(), argument, length);
    explicit_bzero(argument, length);
    return {storage.password.data(), length};
}

/// Reads a number the way atoi does, but held at the ends of the int range instead of
/// wrapping, so that a huge port is 65535 and a hugely negative one 0.
int port_from_text(const char *text)
{
    return static_cast<int>(std::clamp<long>(std::strtol(text, nullptr, 10), INT_MIN, INT_MAX));
}

/// Finds the IPv4 address of `host`: a leading digit means numbers-and-dots, anything else
/// a name for the resolver. Returns 0, or 1 after saying why not on standard output.
int find_address(const char *host, in_addr_t &address)
{
    if (host[0] >= '0' && host[0] <= '9') {
        address = inet_addr(host);
        if (address != INADDR_NONE) return 0; // 255.255.255.255 is refused with the errors
        std::puts("Invalid IP address.");
        return 1;
    }
    const hostent *entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list[0] == nullptr) {
        std::puts("Unknown or invalid hostname.");
        return 1;
    }
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    return 0;
}

/// Buffers `stream` in `buffer`: by lines on a terminal, in blocks otherwise, as the C library
/// would have it.
void use_own_buffer(FILE *stream, std::span<char> buffer)
{
    const int saved_errno = errno; // "not a terminal" is no error of the run
    const int mode = isatty(fileno(stream)) ? _IOLBF : _IOFBF;
    errno = saved_errno;
    std::setvbuf(stream, buffer.data(), mode, buffer.size());
}

/// Sends `commands` one after the other; stops at the first failed exchange.
/// Returns the run status.
int run_batch(const session &s, std::span<char *const> commands)
{
    for (const char *command : commands)
        if (send_command(s.sock, s.address, s.port, s.password, command) != 0) return 1;
    return 0;
}

/// Sends each line of standard input as a command, up to its first carriage return or
/// newline; stops at the end of input or the first failed exchange. Returns the run status.
int run_interactive(const session &s)
{
    use_own_buffer(stdin, storage.input);
    std::fputs("Enter commands.\n\n", stdout);
    std::array<char, k_line_size> line;
    while (std::fgets(line.data(), line.size(), stdin) != nullptr) {
        const std::string_view command{line.data(), std::strcspn(line.data(), "\r\n")};
        if (send_command(s.sock, s.address, s.port, s.password, command) != 0) return 1;
    }
    return 0;
}

/// Returns `status`, or 1 after reporting that standard output lost reply text.
int check_output(int status)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    std::perror("Couldn't write standard output");
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc <= 2) {
        std::puts("Usage: telk host[:port] password [command1 command2 ...]");
        return 1;
    }
    const std::string_view password = hide_password(argv[2]);
    char *host = argv[1];
    int port = k_default_port;
    if (char *colon = std::strchr(host, ':')) {
        *colon = '\0'; // the host text ends at the first colon
        port = port_from_text(colon + 1);
    }
    in_addr_t address;
    if (find_address(host, address) != 0) return 1;

    const socket_owner sock{socket(AF_INET, SOCK_DGRAM, 0)};
    if (sock.get() < 0) {
        std::perror("Couldn't open UDP socket");
        return 1;
    }
    if (set_reply_wait(sock.get()) != 0) return 1;

    use_own_buffer(stdout, storage.output);
    const session s{sock.get(), address, port, password};
    return check_output(argc == 3 ? run_interactive(s) : run_batch(s, {argv + 3, argv + argc}));
}
