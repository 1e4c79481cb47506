// The process entry: command line, target, the run's socket, the command sources, exit status.
#include "descriptor.hpp"
#include "exchange.hpp"
#include "fleet.hpp"
#include "options.hpp"
#include "output.hpp"
#include "password.hpp"
#include "signals.hpp"
#include "target.hpp"
#include "target_list.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include <fcntl.h>
#include <getopt.h> // optind
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

/// The longest command one line of standard input may hold.
constexpr std::size_t k_command_max = 1023;
/// What the C library would choose for a pipe or a file here.
constexpr std::size_t k_input_block_size = 4096;

/// What every exchange of a run goes to, with which password, and how.
struct session {
    int sock;
    const target &to;
    std::string_view password;
    exchange_rules rules;
    bool flush_between;   // write the replies out before each further command: in batch mode,
                          // so that a lost reply stops the next one
    bool password_secret; // it came from a file, and must not leave as a command
    long sent = 0;
    int status = 0; // 1 once a reply was not of this protocol: the run fails, but goes on
};

/// Standard input's block in static storage, so that telk allocates nothing, and a zero byte
/// behind it.
std::array<char, k_input_block_size + 1> input_block;

/// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that the socket
/// never takes one of their numbers; opened the wrong way round, each still fails when used,
/// as a closed descriptor would. Returns 0, or 1 after reporting that one stays closed.
int reserve_standard_descriptors()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) >= 0) continue; // open
        if (open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd) {
            std::perror("Couldn't open /dev/null for a closed standard descriptor");
            return 1;
        }
    }
    return 0;
}

/// Says that a command is the password, which must not leave as one. Returns true.
[[gnu::cold]] bool refuse_password_as_command()
{
    std::fputs("Not sending the password as a command\n", stderr);
    return true;
}

/// Whether `command` is the password of `s`, kept secret in a file, which a command left on
/// the command line out of habit would give away to the server's log; if so, says so.
bool is_secret_password(const session &s, std::string_view command)
{
    return s.password_secret && !s.password.empty() && command == s.password &&
           refuse_password_as_command();
}

/// Sends `command` and prints its reply, unless it is a secret password; before every
/// command but the first, writes out the replies so far if the session says so. Returns 1
/// when the command was not sent, the exchange failed or standard output lost reply text:
/// no further command may go out.
/// Inlined into both command sources, where the compiler would call it: a call costs a
/// piped line a tenth of what telk spends on it.
[[gnu::always_inline]] inline int exchange(session &s, std::string_view command)
{
    if (is_secret_password(s, command)) return 1;
    if (s.sent++ > 0 && s.flush_between && flush_out() != 0) return 1;
    const int status = send_command(s.sock, s.to, s.password, command, s.rules);
    if (status == 1) return 1;
    if (status == k_no_header) s.status = 1;
    return output_error() != 0 ? 1 : 0; // reported with the run's end
}

/// Warns that `command`, one of telk's options, goes to the server as a command: options
/// come before the host.
void warn_if_option(std::string_view command)
{
    for (const std::string_view option : {"-w", "-q", "-i", "-c", "-s", "-p"})
        if (command == option)
            std::fprintf(stderr,
                         "Warning: %s after the host is sent as a command: options go before the "
                         "host\n",
                         option.data());
}

/// Sends `commands` one after the other, unless any is a secret password: then none; stops
/// at the first failed exchange. Returns the run status.
int run_batch(session &s, std::span<char *const> commands)
{
    for (const char *command : commands)
        if (is_secret_password(s, command)) return 1;
    for (const char *command : commands)
        warn_if_option(command);
    for (const char *command : commands)
        if (exchange(s, command) != 0) return 1;
    return s.status;
}

/// Standard input, read in blocks into storage: [at, end) is read but not yet used. A zero
/// byte follows the block, so that strcspn stops at its end.
struct input {
    std::size_t at = 0;
    std::size_t end = 0;
    bool ended = false; // once a read has said so, as a terminal's Ctrl-D: never read again
};

/// Reads the next block of standard input into `in`. Writes out the replies so far first:
/// the read may wait, and whoever is waiting for a reply must have it by then. Returns the
/// bytes read, 0 at the end of input, or -1 when standard output failed or after reporting
/// a read error.
ssize_t refill(input &in)
{
    end_reply();                     // the read may wait for whoever waits for this reply
    if (flush_out() != 0) return -1; // reported with the run's end
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, input_block.data(), k_input_block_size);
        if (got >= 0) {
            in = {0, static_cast<std::size_t>(got), got == 0};
            input_block[in.end] = '\0';
            return got;
        }
        if (errno == EINTR && stop_signal() != 0) return -1; // told to end
        if (errno == EAGAIN) { // left non-blocking by whoever started telk: wait for more
            pollfd watched{STDIN_FILENO, POLLIN, 0};
            poll(&watched, 1, -1);
        } else if (errno != EINTR) {
            std::perror("Couldn't read standard input");
            return -1;
        }
    }
}

/// Makes sure that `in` holds input not yet used. Returns 1 when it does, 0 at the end of
/// input, or -1 when reading failed.
int fill(input &in)
{
    if (in.at < in.end) return 1;
    if (in.ended) return 0;
    const ssize_t got = refill(in);
    return got > 0 ? 1 : static_cast<int>(got);
}

/// Says that a line held a command of `length` bytes, longer than any may be.
[[gnu::cold]] void report_too_long(std::size_t length)
{
    std::fprintf(stderr, "Command too long (tried=%zu, max=%zu)\n", length, k_command_max);
}

enum class line { command, end_of_input, failed };

/// Takes the next line of standard input. Its command is the text before its first carriage
/// return, newline or zero byte, copied into `room`; the rest of the line is dropped, so that
/// no part of a line ever becomes a command of its own. A command longer than `room` is
/// reported and sends nothing.
[[gnu::always_inline]] inline line next_command(input &in, std::span<char, k_command_max> room,
                                                std::string_view &command)
{
    int more = fill(in);
    if (more <= 0) return more == 0 ? line::end_of_input : line::failed;
    std::size_t length = 0; // of the command, also beyond the room
    for (;;) {
        const char *text = input_block.data() + in.at;
        const std::size_t size = std::strcspn(text, "\r\n"); // a zero byte ends it too
        if (length < room.size())
            std::memcpy(room.data() + length, text, std::min(size, room.size() - length));
        length += size;
        in.at += size;
        if (in.at < in.end || (more = fill(in)) <= 0) break; // the command goes on, or not
    }
    if (more >= 0 && length > room.size()) {
        report_too_long(length);
        return line::failed;
    }
    while (more > 0) { // drop the rest of the line, its newline included
        const char *rest = input_block.data() + in.at;
        if (const void *newline = std::memchr(rest, '\n', in.end - in.at)) {
            in.at += static_cast<std::size_t>(static_cast<const char *>(newline) - rest) + 1;
            break;
        }
        in.at = in.end;
        more = fill(in);
    }
    if (more < 0) return line::failed;
    command = {room.data(), length};
    return line::command;
}

/// Hands each line's command of standard input to `take`, until the end of input or a
/// failure to read it, or until `take` returns other than 0. Returns 0 at the end of input,
/// 1 when reading failed, or what `take` returned.
template <typename Take> int each_command(Take take)
{
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
            if (const int stop = take(command); stop != 0) return stop;
        }
    }
}

/// Sends each line of standard input as a command; stops at the end of input or the first
/// failure. Returns the run status.
int run_interactive(session &s)
{
    write_out("Enter commands.\n\n");
    const int stopped =
        each_command([&s](std::string_view command) { return exchange(s, command); });
    return stopped != 0 ? stopped : s.status;
}

/// Runs `commands` (none: the lines of standard input) against the one target `to`, with
/// `password`. Returns the run status.
int run_one(const target &to, std::string_view password, const exchange_rules &rules,
            std::span<char *const> commands, bool password_secret)
{
    const descriptor sock{socket(to.family(), SOCK_DGRAM, 0)};
    if (sock.get() < 0) {
        std::perror("Couldn't open UDP socket");
        return 1;
    }
    if (start_exchanges(sock.get(), to.family(), rules) != 0) return 1;
    session s{sock.get(), to, password, rules, !commands.empty(), password_secret};
    errno = 0; // what setting up left behind is no error of any exchange
    const int status = commands.empty() ? run_interactive(s) : run_batch(s, commands);
    end_reply();
    return status;
}

/// What a run of several servers checks each command against: the passwords that must not
/// leave as one.
struct secrets {
    std::span<const member> members;
    const text_buffer *texts = nullptr;
    std::string_view password; // the run's, from a file; empty when it may be a command
};
secrets kept;

/// Whether `command` is a password that must not leave as a command: the run's from a file,
/// or a server's own; if so, says so.
bool gives_a_password_away(std::string_view command)
{
    if (!kept.password.empty() && command == kept.password) return refuse_password_as_command();
    for (const member &m : kept.members)
        if (m.own_password && m.password_size > 0 &&
            command == std::string_view{kept.texts->data() + m.password_at, m.password_size})
            return refuse_password_as_command();
    return false;
}

/// The line of standard input that a run of several servers is reading: its command so far,
/// as next_command takes one.
struct partial_line {
    std::array<char, k_command_max> room;
    std::size_t length = 0; // of the command, also beyond the room
    bool started = false;   // a byte of it was read
    bool ended = false;     // its command has ended: the rest of the line is dropped
} partial;

/// Adds the command of the line just read to `commands`. Returns 0, or 1 after saying why it
/// may not go.
int take_line(command_list &commands)
{
    const std::string_view command{partial.room.data(),
                                   std::min(partial.length, partial.room.size())};
    if (partial.length > partial.room.size()) {
        report_too_long(partial.length);
        return 1;
    }
    if (gives_a_password_away(command)) return 1;
    commands.add(command);
    partial.length = 0;
    partial.started = partial.ended = false;
    return 0;
}

/// Takes the `size` bytes of standard input just read into its block, line by line.
/// Returns 0, or 1 once a line's command may not go.
int take_lines(command_list &commands, std::size_t size)
{
    for (std::size_t at = 0; at < size;) {
        partial.started = true;
        if (!partial.ended) {
            const std::size_t part =
                std::strcspn(input_block.data() + at, "\r\n"); // or a zero byte
            if (partial.length < partial.room.size())
                std::memcpy(partial.room.data() + partial.length, input_block.data() + at,
                            std::min(part, partial.room.size() - partial.length));
            partial.length += part;
            at += part;
            partial.ended = at < size;
        }
        const void *newline = std::memchr(input_block.data() + at, '\n', size - at);
        if (newline == nullptr) return 0;
        at = static_cast<std::size_t>(static_cast<const char *>(newline) - input_block.data()) + 1;
        if (take_line(commands) != 0) return 1;
    }
    return 0;
}

/// Takes what standard input has brought for a run of several servers (see command_list).
[[gnu::cold]] int read_input_commands(command_list &commands)
{
    input in;
    const ssize_t got = refill(in);
    const bool failed = got < 0 || (got > 0 && take_lines(commands, in.end) != 0) ||
                        (got == 0 && partial.started && take_line(commands) != 0);
    if (got <= 0 || failed) commands.read_more = nullptr;
    return failed ? 1 : 0;
}

/// Runs `arguments` (none: the lines of standard input) against every target that `host`
/// names; with a single one and no -j, as any run against one target. Returns the run status.
/// Cold: a run against one target, the most common, keeps its pages to itself.
[[gnu::cold]] int run_several(const options &opts, const exchange_rules &rules, char *host,
                              std::string_view password, std::span<char *const> arguments)
{
    text_buffer own; // the run's password: a server's password file would take its storage
    own.append(password);
    password = view_of(own);
    growable<member> members;
    text_buffer texts;
    if (find_targets(host, members, texts) != 0) return 1;
    const bool secret = opts.password_file != nullptr;
    if (members.size() == 1 && !opts.json) {
        const member &only = members[0];
        if (only.own_password) password = {texts.data() + only.password_at, only.password_size};
        return run_one(only.to, password, rules, arguments, secret || only.own_password);
    }
    kept = {members.items(), &texts, secret ? password : std::string_view{}};
    command_list commands;
    for (const char *argument : arguments) {
        warn_if_option(argument);
        if (gives_a_password_away(argument)) return 1;
        commands.add(argument);
    }
    if (arguments.empty()) {
        if (!opts.json) write_out("Enter commands.\n\n");
        if (flush_out() != 0) return 1; // whoever types the commands wants to see it first
        commands.read_more = read_input_commands;
    }
    return run_fleet(members.items(), texts, password, commands, rules, {opts.json});
}

/// The run, from the command line to its status.
int run(int argc, char *argv[])
{
    if (reserve_standard_descriptors() != 0) return 1;
    watch_signals();
    start_output();
    options opts;
    if (read_options(argc, argv, opts) != 0) return 1;
    if (opts.help) return print_help();
    if (opts.version) return say("telk " TELK_VERSION "\n", 0);
    const bool password_secret = opts.password_file != nullptr;
    const int before_commands = password_secret ? 1 : 2; // host, password
    if (argc - optind < before_commands)
        return password_secret
                   ? say("Usage: telk -p file host[:port] [command1 command2 ...]\n", 1)
                   : say("Usage: telk host[:port] password [command1 command2 ...]\n", 1);
    char *host = argv[optind];
    std::string_view password;
    if (!password_secret)
        password = hide_password(argv[optind + 1]);
    else if (read_password_file(opts.password_file, password) != 0)
        return 1;
    const exchange_rules rules{opts.wait, opts.quiet,      opts.clean,
                               opts.form, opts.form_given, opts.pace};
    const std::span<char *const> commands{argv + optind + before_commands, argv + argc};
    if (names_several(host) || opts.json)
        return check_output(run_several(opts, rules, host, password, commands));
    target to;
    if (find_target(host, to) != 0) return 1;
    return check_output(run_one(to, password, rules, commands, password_secret));
}

} // namespace

int main(int argc, char *argv[])
{
    const int status = run(argc, argv);
    end_by_signal(); // told to end: now that what came is written out
    return status;
}
