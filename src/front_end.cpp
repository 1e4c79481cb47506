// The process entry: command line, target, the run's socket, the command sources, exit status.
#include "allowance.hpp"
#include "console.hpp"
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
/// Holds the prompt of a list, "1000000 servers> ".
constexpr std::size_t k_list_prompt_size = 32;
/// What the C library would choose for a pipe or a file here.
constexpr std::size_t k_input_block_size = 4096;

/// What every exchange of a run checks its command against, and how it goes.
struct session {
    std::string_view password;
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
    const int status = send_command(command);
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

/// Reads the next block of standard input into input_block, a zero byte behind it so that
/// strcspn stops at its end. Writes out the replies so far first: the read may wait, and
/// whoever is waiting for a reply must have it by then. Returns the bytes read, 0 at the end
/// of input, or -1 when standard output failed or after reporting a read error.
ssize_t read_block()
{
    end_reply();                     // the read may wait for whoever waits for this reply
    if (flush_out() != 0) return -1; // reported with the run's end
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, input_block.data(), k_input_block_size);
        if (got >= 0) {
            input_block[static_cast<std::size_t>(got)] = '\0';
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

/// Says that a line held a command of `length` bytes, longer than any may be.
[[gnu::cold]] void report_too_long(std::size_t length)
{
    std::fprintf(stderr, "Command too long (tried=%zu, max=%zu)\n", length, k_command_max);
}

/// The line of standard input being read. Its command is the text before its first carriage
/// return, newline or zero byte; the rest of the line is dropped, so that no part of a line
/// ever becomes a command of its own.
struct line_reader {
    std::array<char, k_command_max> room{}; // whole, so that a reader at rest needs no code to set up
    std::size_t length = 0; // of the command, also beyond the room
    bool started = false;   // a byte of the line was read
    bool ended = false;     // its command has ended: the rest of the line is dropped
};

/// Hands `command`, `length` bytes of which lie at its start, to `take`, unless it is too long
/// (then reported). Returns 1 then, or what `take` returned.
template <typename Take>
[[gnu::always_inline]] inline int take_command(const char *command, std::size_t length, Take take)
{
    if (length > k_command_max) {
        report_too_long(length);
        return 1;
    }
    return take(std::string_view{command, length});
}

/// Ends the line that `r` holds: hands its command to `take` (see take_command).
template <typename Take> int end_line(line_reader &r, Take take)
{
    const std::size_t length = std::exchange(r.length, 0);
    r.started = r.ended = false;
    return take_command(r.room.data(), length, take);
}

/// Reads the `size` bytes of standard input in input_block into `r`, handing the command of
/// each line that ends there to `take`. Returns 0, or what end_line returned other than 0.
template <typename Take> int take_lines(line_reader &r, std::size_t size, Take take)
{
    for (std::size_t at = 0; at < size;) {
        r.started = true;
        if (!r.ended) {
            const char *text = input_block.data() + at;
            const std::size_t part = std::strcspn(text, "\r\n"); // a zero byte ends it too
            at += part;
            // a whole line in the block goes as it lies there (the common case: no copy)
            if (r.length == 0 && at < size && input_block[at] == '\n') {
                ++at;
                r.started = false;
                if (const int stop = take_command(text, part, take); stop != 0) return stop;
                continue;
            }
            if (r.length < r.room.size())
                std::memcpy(r.room.data() + r.length, text,
                            std::min(part, r.room.size() - r.length));
            r.length += part;
            r.ended = at < size;
        }
        const void *newline = std::memchr(input_block.data() + at, '\n', size - at);
        if (newline == nullptr) return 0;
        at = static_cast<std::size_t>(static_cast<const char *>(newline) - input_block.data()) + 1;
        if (const int stop = end_line(r, take); stop != 0) return stop;
    }
    return 0;
}

/// Takes a block of standard input that read_block read, `got` as it returned, into `r`:
/// hands the command of each line that ends in it to `take`, and at the end of input the last
/// line's, if it had no newline. Returns 1 when reading failed, or what take_lines returned.
template <typename Take> int take_block(line_reader &r, ssize_t got, Take take)
{
    if (got < 0) return 1;
    if (got > 0) return take_lines(r, static_cast<std::size_t>(got), take);
    return r.started ? end_line(r, take) : 0;
}

/// What each command is checked against: the passwords that must not leave as one (a list's,
/// and the run's at the console); and what the console asks a list's servers with.
struct secrets {
    std::span<const member> members;
    const text_buffer *texts = nullptr;
    std::string_view password; // the run's, from a file; empty when it may be a command
    std::string_view run_password; // however it came
    const exchange_rules *rules = nullptr;
    std::size_t answering = 0; // the first member that answered the console
};
secrets kept;

/// The password that `m` is sent.
std::string_view password_of(const member &m)
{
    return m.own_password ? own_password_of(m, *kept.texts) : kept.run_password;
}

/// Whether `command` is a password that must not leave as a command: the run's from a file,
/// or a server's own; if so, says so.
bool gives_a_password_away(std::string_view command)
{
    if (!kept.password.empty() && command == kept.password) return refuse_password_as_command();
    for (const member &m : kept.members)
        if (m.own_password && m.password_size > 0 && command == own_password_of(m, *kept.texts))
            return refuse_password_as_command();
    return false;
}

/// Whether `command`, typed at the console, must not go: longer than any may be, or a
/// password, the run's however it came or a server's own; if so, says so.
bool refuse_typed(std::string_view command)
{
    if (command.size() > k_command_max) {
        report_too_long(command.size());
        return true;
    }
    if (!kept.run_password.empty() && command == kept.run_password)
        return refuse_password_as_command();
    return gives_a_password_away(command);
}

/// Reads the next line typed at the console that may go as a command (see refuse_typed), and
/// keeps it in the history. Returns as read_console.
int read_typed(std::string_view &command)
{
    for (;;) {
        const int got = read_console(command);
        if (got <= 0) return got;
        if (refuse_typed(command)) continue;
        keep_typed(command);
        return 1;
    }
}

/// Sends each line typed at the console as a command; stops at the end of input (Ctrl-D),
/// when told to end or at the first failure. Returns the run status.
int run_console(session &s)
{
    std::string_view command;
    int status = s.status;
    while (status == 0 && read_typed(command) > 0) {
        status = exchange(s, command);
        end_reply(); // the reply is whole before the next prompt
    }
    close_console();
    return status != 0 ? status : s.status;
}

/// Sends each line of standard input as a command, edited at the console when it is a
/// terminal; stops at the end of input or the first failure. Returns the run status.
int run_interactive(session &s, const target &to)
{
    write_out("Enter commands.\n\n");
    if (console_wanted()) {
        target_text address;
        std::array<char, k_target_text_size + 2> prompt;
        const int length = std::snprintf(prompt.data(), prompt.size(), "%s> ", text_of(to, address));
        kept.run_password = s.password;
        if (open_console({prompt.data(), static_cast<std::size_t>(length)}, ask_aside) == 0)
            return run_console(s);
    }
    line_reader line;
    for (ssize_t got = 1; got > 0;) {
        got = read_block();
        const int stop =
            take_block(line, got, [&s](std::string_view command) { return exchange(s, command); });
        if (stop != 0) return stop;
    }
    return s.status;
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
    if (start_exchanges(sock.get(), to, password, rules) != 0) return 1;
    const paced_server paced{&to, &known_of_target()};
    const bool pace_kept = take_kept_pace({&paced, 1}, rules);
    session s{password, !commands.empty(), password_secret};
    errno = 0; // what setting up left behind is no error of any exchange
    const int status = commands.empty() ? run_interactive(s, to) : run_batch(s, commands);
    end_reply();
    if (pace_kept) keep_pace({&paced, 1});
    return status;
}

/// Asks the first member of the list that answers, for the console (see aside_fn).
[[gnu::cold]] int ask_a_member(std::string_view command, text_buffer &reply)
{
    for (std::size_t i = kept.answering; i < kept.members.size(); ++i) {
        const member &m = kept.members[i];
        if (!m.resolves) continue;
        const descriptor sock{socket(m.to.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0)};
        if (sock.get() < 0 || start_exchanges(sock.get(), m.to, password_of(m), *kept.rules) != 0)
            continue;
        if (ask_aside(command, reply) == 0) {
            kept.answering = i;
            return 0;
        }
        reply.clear();
    }
    return 1;
}

/// Takes the next line typed at the console for a run of several servers (see command_list).
[[gnu::cold]] int read_console_commands(command_list &commands)
{
    std::string_view command;
    if (read_typed(command) > 0) {
        commands.add(command);
        return 0;
    }
    commands.read_more = nullptr;
    return 0;
}

/// The line of standard input that a run of several servers is reading.
line_reader fleet_line;

/// Takes what standard input has brought for a run of several servers (see command_list).
[[gnu::cold]] int read_input_commands(command_list &commands)
{
    const ssize_t got = read_block();
    const int stop = take_block(fleet_line, got, [&commands](std::string_view command) {
        if (gives_a_password_away(command)) return 1;
        commands.add(command);
        return 0;
    });
    if (got <= 0 || stop != 0) commands.read_more = nullptr;
    return stop;
}

/// Runs `arguments` (none: the lines of standard input) against every target that `host`
/// names, each line labelled, also when the list comes to one server. Returns the run status.
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
    kept = {members.items(), &texts, secret ? password : std::string_view{}, password, &rules};
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
        std::array<char, k_list_prompt_size> prompt;
        const int length = std::snprintf(prompt.data(), prompt.size(), "%zu servers> ", members.size());
        if (console_wanted() &&
            open_console({prompt.data(), static_cast<std::size_t>(length)}, ask_a_member) == 0) {
            commands.read_more = read_console_commands;
            commands.whole_lines = true;
        }
    }
    const int status = run_fleet(members.items(), texts, password, commands, rules,
                                 {.json = opts.json, .gather = opts.gather});
    close_console();
    return status;
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
    if (opts.json) keep_output_for_json();
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
    if (names_several(host) || opts.json || opts.gather)
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
