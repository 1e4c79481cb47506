// The process entry: command line, target, the run's socket, the command sources, exit status.
#include "exchange.hpp"
#include "output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using std::chrono::microseconds;

constexpr int k_default_port = 27960;
/// The longest command one line of standard input may hold.
constexpr std::size_t k_command_max = 1023;
/// What the C library would choose for a pipe or a file here.
constexpr std::size_t k_input_block_size = 4096;

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

/// What the options in front of the host set.
struct options {
    microseconds wait = k_exchange_bound; // -w: the longest an exchange may take
    microseconds quiet{};                 // -q: collect a reply until quiet this long; 0: off
    microseconds pace{};                  // -i: the pause before every request but the first
};

/// An option, the seconds it accepts and where its value goes.
struct option_rule {
    char letter;
    double min_seconds;
    double max_seconds;
    microseconds options::*value;
};

constexpr std::array k_option_rules{
    option_rule{'w', 0.001, 3600, &options::wait},
    option_rule{'q', 0.001, 60, &options::quiet},
    option_rule{'i', 0, 3600, &options::pace},
};

/// getopt's view of k_option_rules, each taking a value: '+' stops at the host, so a password
/// or command that begins with '-' is left alone; ':' leaves the messages to telk.
constexpr const char *k_getopt_letters = "+:w:q:i:";

/// What every exchange of a run goes to, with which password, and how.
struct session {
    int sock;
    in_addr_t address;
    int port;
    std::string_view password;
    exchange_rules rules;
    microseconds pace;
    bool flush_between; // write the replies out before each further command: in batch mode,
                        // so that a lost reply stops the next one; before a pause, too
    long sent = 0;
};

/// Room for the longest single argument Linux hands a program, its zero byte included.
constexpr std::size_t k_argument_size = 131072;

/// The run's buffers in static storage, so that telk allocates nothing. Only the pages in use
/// become resident.
struct {
    std::array<char, k_argument_size> password;
    std::array<char, k_input_block_size> input;
} storage;

/// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that the socket
/// never takes one of their numbers; opened the wrong way round, each still fails when used,
/// as a closed descriptor would. Returns 0, or 1 after reporting that one stays closed.
int reserve_standard_descriptors()
{
    std::array<pollfd, 3> standard{
        {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0}, {STDERR_FILENO, 0, 0}}};
    // Waits for nothing, marks the closed ones. Under a limit of open files below 3, poll
    // refuses to look at three at once: then one at a time.
    if (poll(standard.data(), standard.size(), 0) < 0)
        for (pollfd &fd : standard)
            poll(&fd, 1, 0);
    for (const pollfd &fd : standard) {
        if ((fd.revents & POLLNVAL) == 0) continue;
        if (open("/dev/null", fd.fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd.fd) {
            std::perror("Couldn't open /dev/null for a closed standard descriptor");
            return 1;
        }
    }
    return 0;
}

/// Reads a decimal number of seconds (10, 2.5, .5) within `rule`'s range into `value`.
/// Returns 0, or 1 when `text` is no such number.
int read_seconds(const char *text, const option_rule &rule, microseconds &value)
{
    constexpr const char *digits = "0123456789";
    const std::size_t whole = std::strspn(text, digits);
    const std::size_t fraction = text[whole] == '.' ? std::strspn(text + whole + 1, digits) : 0;
    const std::size_t end = whole + (text[whole] == '.' ? 1 + fraction : 0);
    if (whole + fraction == 0 || text[end] != '\0') return 1;
    const double seconds = std::strtod(text, nullptr); // an overflow is out of range
    if (!(seconds >= rule.min_seconds && seconds <= rule.max_seconds)) return 1;
    value = std::chrono::round<microseconds>(std::chrono::duration<double>(seconds));
    return 0;
}

const option_rule *find_rule(int letter)
{
    for (const option_rule &rule : k_option_rules)
        if (rule.letter == letter) return &rule;
    return nullptr;
}

/// Reads the options in front of the host into `opts`; optind is then the host's index.
/// Returns 0, or 1 after saying on standard error what is wrong.
int read_options(int argc, char *argv[], options &opts)
{
    for (int got; (got = getopt(argc, argv, k_getopt_letters)) != -1;) {
        const option_rule *rule = find_rule(got == ':' ? optopt : got);
        if (rule == nullptr) {
            std::fprintf(stderr, "Unknown option -%c: the options are -w, -q and -i\n", optopt);
            return 1;
        }
        if (got == ':' || read_seconds(optarg, *rule, opts.*rule->value) != 0) {
            std::fprintf(stderr, "Option -%c takes a number of seconds from %g to %g\n",
                         rule->letter, rule->min_seconds, rule->max_seconds);
            return 1;
        }
    }
    return 0;
}

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

/// Reads a number the way atoi does, but clamped to the int range instead of wrapping, so
/// that a huge port is 65535 and a hugely negative one 0.
int port_from_text(const char *text)
{
    const long number = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX));
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

/// Sleeps for `pause`, through a stop and continue.
void pause_for(microseconds pause)
{
    timespec left = as_timespec(pause);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

/// Sends `command` and prints its reply; before every command but the first, writes out the
/// replies so far if the session says so, then waits out the pace. Returns 1 when the
/// exchange failed or standard output lost reply text: no further command may go out.
int exchange(session &s, std::string_view command)
{
    if (s.sent++ > 0) {
        if (s.flush_between && flush_out() != 0) return 1;
        if (s.pace.count() > 0) pause_for(s.pace);
    }
    if (send_command(s.sock, s.address, s.port, s.password, command, s.rules) != 0) return 1;
    return output_error() != 0 ? 1 : 0; // reported with the run's end
}

/// Sends `commands` one after the other; stops at the first failed exchange.
/// Returns the run status.
int run_batch(session &s, std::span<char *const> commands)
{
    for (const char *command : commands)
        if (exchange(s, command) != 0) return 1;
    return 0;
}

/// Standard input, read in blocks into storage: [at, end) is read but not yet used.
struct input {
    std::size_t at = 0;
    std::size_t end = 0;
    bool ended = false; // once a read has said so, as a terminal's Ctrl-D: never read again
};

constexpr int k_end_of_input = -1;
constexpr int k_input_failed = -2;

/// Reads the next block of standard input into `in`. Writes out the replies so far first:
/// the read may wait, and whoever is waiting for a reply must have it by then. Returns the
/// bytes read, 0 at the end of input, or -1 when standard output failed or after reporting
/// a read error.
ssize_t refill(input &in)
{
    if (flush_out() != 0) return -1; // reported with the run's end
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, storage.input.data(), storage.input.size());
        if (got >= 0) {
            in = {0, static_cast<std::size_t>(got), got == 0};
            return got;
        }
        if (errno == EAGAIN) { // left non-blocking by whoever started telk: wait for more
            pollfd watched{STDIN_FILENO, POLLIN, 0};
            poll(&watched, 1, -1);
        } else if (errno != EINTR) {
            std::perror("Couldn't read standard input");
            return -1;
        }
    }
}

/// Returns the next byte of standard input, k_end_of_input, or k_input_failed.
int next_byte(input &in)
{
    if (in.at == in.end) {
        if (in.ended) return k_end_of_input;
        const ssize_t got = refill(in);
        if (got <= 0) return got == 0 ? k_end_of_input : k_input_failed;
    }
    return static_cast<unsigned char>(storage.input[in.at++]);
}

enum class line { command, end_of_input, failed };

/// Takes the next line of standard input. Its command is the text before its first carriage
/// return, newline or zero byte, copied into `room`; the rest of the line is dropped, so that
/// no part of a line ever becomes a command of its own. A command longer than `room` is
/// reported and sends nothing.
line next_command(input &in, std::span<char, k_command_max> room, std::string_view &command)
{
    std::size_t length = 0;
    int c = next_byte(in);
    if (c == k_end_of_input) return line::end_of_input;
    for (; c >= 0 && c != '\r' && c != '\n' && c != '\0'; c = next_byte(in)) {
        if (length < room.size()) room[length] = static_cast<char>(c);
        ++length;
    }
    if (c == k_input_failed) return line::failed;
    if (length > room.size()) {
        std::fprintf(stderr, "Command too long (tried=%zu, max=%zu)\n", length, room.size());
        return line::failed;
    }
    while (c >= 0 && c != '\n')
        c = next_byte(in);
    if (c == k_input_failed) return line::failed;
    command = {room.data(), length};
    return line::command;
}

/// Sends each line of standard input as a command; stops at the end of input or the first
/// failure. Returns the run status.
int run_interactive(session &s)
{
    write_out("Enter commands.\n\n");
    input in;
    std::array<char, k_command_max> room;
    for (;;) {
        std::string_view command;
        switch (next_command(in, room, command)) {
        case line::end_of_input:
            return 0;
        case line::failed:
            return 1;
        case line::command:
            if (exchange(s, command) != 0) return 1;
        }
    }
}

/// Returns `status`, or 1 after reporting that standard output lost reply text.
int check_output(int status)
{
    if (flush_out() == 0) return status;
    errno = output_error();
    std::perror("Couldn't write standard output");
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (reserve_standard_descriptors() != 0) return 1;
    options opts;
    if (read_options(argc, argv, opts) != 0) return 1;
    if (argc - optind < 2) {
        std::puts("Usage: telk host[:port] password [command1 command2 ...]");
        return 1;
    }
    char *host = argv[optind];
    const std::string_view password = hide_password(argv[optind + 1]);
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
    if (prepare_socket(sock.get(), opts.wait) != 0) return 1;

    start_output();
    const std::span<char *const> commands{argv + optind + 2, argv + argc};
    const bool flush_between = !commands.empty() || opts.pace.count() > 0;
    session s{sock.get(), address,      port, password, {opts.wait, opts.quiet},
              opts.pace,  flush_between};
    errno = 0; // what setting up left behind is no error of any exchange
    return check_output(commands.empty() ? run_interactive(s) : run_batch(s, commands));
}
