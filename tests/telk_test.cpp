// End to end: the built telk as a child process against a scripted UDP server on 127.0.0.1,
// checking the datagrams it sends, its standard output, standard error and exit status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::string_literals;
using testing::Eq;
using testing::StartsWith;
using Strings = std::vector<std::string>;

const std::string H = "\xff\xff\xff\xff";
constexpr auto k_deadline = std::chrono::seconds(40); // beyond telk's own 10-second wait

std::string request(const std::string &command, const std::string &password = "pw")
{
    return H + "rcon " + password + " " + command;
}

/// Owns a file descriptor: closed when it goes, on every path of a test.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read, write;
};

Pipe make_pipe()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return {};
    }
    return {Fd(ends[0]), Fd(ends[1])};
}

/// A UDP socket on 127.0.0.1 in the server's place; `fd` stays empty when the port is taken.
struct FakeServer {
    Fd fd;
    int port = 0;

    explicit FakeServer(int wanted)
    {
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_port = htons(static_cast<in_port_t>(wanted));
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof self;
        Fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (bind(sock.get(), reinterpret_cast<sockaddr *>(&self), size) != 0 ||
            getsockname(sock.get(), reinterpret_cast<sockaddr *>(&self), &size) != 0)
            return;
        fd = std::move(sock);
        port = ntohs(self.sin_port);
    }
};

/// What a hook of a script acts on: telk, the server, and the address telk sends from.
struct Scene {
    pid_t pid;
    const FakeServer &server;
    sockaddr_in telk;
};
using Hook = std::function<void(const Scene &)>;

/// One run of telk and the server's part in it.
struct Script {
    Strings args;                    // "{port}", "{port+65536}", "{port-65536}" name the server's;
                                     // "{closed}" a loopback port that nothing listens on
    std::optional<std::string> file; // written to a temporary file, which "{file}" names
    std::string input;               // standard input, written at once, then closed
    Strings dialogue;                // instead: standard input a piece at a time, each written once
                                     // standard output has grown, then closed once it grows again
    bool nonblocking_input = false;  // standard input handed over in non-blocking mode
    std::vector<Strings> replies;    // replies[i]: the datagrams that answer request i
    Hook before_reply;               // runs before each answer
    Hook on_output;                  // runs whenever standard output has grown
    Hook every_tick;                 // runs every 0.1 s from the first request until telk ends
    bool forges_icmp = false;        // a hook needs a raw socket
    const char *input_file = nullptr;  // standard input from there instead of a pipe
    const char *output_file = nullptr; // standard output there instead of a pipe
    bool nonblocking_output = false;   // standard output a non-blocking pipe of one page
    bool terminal_output = false;      // standard output a pseudo-terminal, in raw mode
    int closed_fd = -1;                // this standard descriptor closed for telk
    int max_files = 0;                 // telk's limit of open descriptors; 0: the tests' own
    std::chrono::seconds deadline = k_deadline;
};

struct Outcome {
    Strings requests; // every datagram the server got, in order
    std::string out, err;
    int status = -1; // -1 unless telk exited by itself
};

/// A loopback port that nothing listens on: bound for a moment, then let go.
int closed_port() { return FakeServer(0).port; }

std::string expand(std::string arg, int port, const std::string &file)
{
    for (const auto &[token, value] : {std::pair{"{port}"s, port},
                                       {"{port+65536}"s, port + 65536},
                                       {"{port-65536}"s, port - 65536}})
        for (auto at = arg.find(token); at != std::string::npos; at = arg.find(token))
            arg.replace(at, token.size(), std::to_string(value));
    if (const auto at = arg.find("{closed}"); at != std::string::npos)
        arg.replace(at, 8, std::to_string(closed_port()));
    if (arg == "{file}") arg = file;
    return arg;
}

/// A temporary file that holds what a script gives it, removed when it goes.
struct TempFile {
    std::string path;

    explicit TempFile(const std::optional<std::string> &text)
    {
        if (!text) return;
        std::string name = "/tmp/telk-test.XXXXXX";
        const Fd fd(mkstemp(name.data()));
        if (fd.get() >= 0 &&
            write(fd.get(), text->data(), text->size()) == static_cast<ssize_t>(text->size()))
            path = name;
        else
            ADD_FAILURE() << "could not write " << name << ": " << std::strerror(errno);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile()
    {
        if (!path.empty()) unlink(path.c_str());
    }
};

/// A pseudo-terminal in raw mode, so that what telk writes arrives unchanged: `write` is
/// the terminal's end for telk, `read` the end that a terminal emulator would read.
Pipe make_terminal()
{
    Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
        return {};
    }
    Fd terminal(open(ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios mode{};
    tcgetattr(terminal.get(), &mode);
    cfmakeraw(&mode);
    tcsetattr(terminal.get(), TCSANOW, &mode);
    return {std::move(master), std::move(terminal)};
}

/// Starts telk with `fds` as its standard descriptors (-1: closed) and at most `max_files`
/// open descriptors (0: no limit of its own). Returns its pid, or -1.
pid_t spawn_telk(const Strings &args, const std::array<int, 3> &fds, int max_files)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int target = 0; target < 3; ++target) {
        if (fds[target] < 0)
            posix_spawn_file_actions_addclose(&actions, target);
        else
            posix_spawn_file_actions_adddup2(&actions, fds[target], target);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE); // ignored here, so that a write to a gone telk is no kill
    posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    Strings line{TELK_PATH};
    if (max_files > 0)
        line = {"/bin/sh", "-c", "ulimit -n " + std::to_string(max_files) + R"( && exec "$0" "$@")",
                TELK_PATH};
    line.insert(line.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (const std::string &arg : line)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

/// Takes one waiting datagram off `fd` into `requests`; false when none is waiting.
bool take_request(int fd, Strings &requests, sockaddr_in &peer)
{
    std::array<char, 65536> datagram;
    socklen_t size = sizeof peer;
    const ssize_t got = recvfrom(fd, datagram.data(), datagram.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&peer), &size);
    if (got < 0) return false;
    requests.emplace_back(datagram.data(), static_cast<std::size_t>(got));
    return true;
}

void send_to_telk(const Scene &scene, const std::string &datagram)
{
    sendto(scene.server.fd.get(), datagram.data(), datagram.size(), 0,
           reinterpret_cast<const sockaddr *>(&scene.telk), sizeof scene.telk);
}

void answer(const Scene &scene, const Script &script, std::size_t index)
{
    if (index >= script.replies.size()) return;
    if (script.before_reply) script.before_reply(scene);
    for (const std::string &datagram : script.replies[index])
        send_to_telk(scene, datagram);
}

/// Writes `text` to telk's standard input, unless telk has gone without reading it.
void write_all(const Fd &fd, const std::string &text)
{
    const ssize_t wrote = write(fd.get(), text.data(), text.size());
    EXPECT_TRUE(wrote == static_cast<ssize_t>(text.size()) || (wrote < 0 && errno == EPIPE))
        << "the input must fit the pipe";
}

/// Opens `path` for telk when a script names one.
Fd open_for_telk(const char *path, int flags) { return Fd(path ? open(path, flags) : -1); }

/// Runs telk to its end, serving its requests, with every wait bounded by the deadline.
Outcome run_telk(const FakeServer &server, const Script &script)
{
    std::signal(SIGPIPE, SIG_IGN);
    Pipe in = make_pipe(), out = script.terminal_output ? make_terminal() : make_pipe(),
         err = make_pipe();
    const TempFile file(script.file);
    Fd input_file = open_for_telk(script.input_file, O_RDONLY | O_CLOEXEC);
    Fd output_file = open_for_telk(script.output_file, O_WRONLY | O_CLOEXEC);
    if (script.nonblocking_input) fcntl(in.read.get(), F_SETFL, O_NONBLOCK);
    if (script.nonblocking_output) {
        EXPECT_EQ(fcntl(out.write.get(), F_SETPIPE_SZ, 4096), 4096);
        fcntl(out.write.get(), F_SETFL, O_NONBLOCK);
    }
    std::array<int, 3> fds{script.input_file ? input_file.get() : in.read.get(),
                           script.output_file ? output_file.get() : out.write.get(),
                           err.write.get()};
    if (script.closed_fd >= 0) fds[script.closed_fd] = -1;
    Strings args;
    for (const std::string &arg : script.args)
        args.push_back(expand(arg, server.port, file.path));
    const pid_t pid = spawn_telk(args, fds, script.max_files);
    for (Fd *telks : {&in.read, &out.write, &err.write, &input_file, &output_file})
        telks->reset();
    Outcome outcome;
    if (pid <= 0) { // no pid of ours to wait for or to kill
        ADD_FAILURE() << "telk could not be started";
        return outcome;
    }
    std::size_t said = 0; // pieces of the dialogue written so far
    if (script.dialogue.empty()) {
        write_all(in.write, script.input);
        in.write.reset();
    }

    std::string *sinks[] = {nullptr, &outcome.out, &outcome.err};
    Fd *streams[] = {nullptr, &out.read, &err.read};
    pollfd watched[] = {
        {server.fd.get(), POLLIN, 0}, {out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
    using steady = std::chrono::steady_clock;
    const auto deadline = steady::now() + script.deadline;
    constexpr auto k_tick = std::chrono::milliseconds(100);
    auto next_tick = steady::time_point::max(); // from the first request on, if ticking
    Scene scene{pid, server, {}};
    while (out.read.get() >= 0 || err.read.get() >= 0) {
        if (steady::now() >= next_tick) {
            script.every_tick(scene);
            next_tick += k_tick;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            std::min(deadline, next_tick) - steady::now());
        if (steady::now() >= deadline ||
            poll(watched, 3, static_cast<int>(std::max<long>(left.count(), 0))) < 0)
            break;
        if (watched[0].revents != 0 &&
            take_request(server.fd.get(), outcome.requests, scene.telk)) {
            if (script.every_tick && outcome.requests.size() == 1)
                next_tick = steady::now() + k_tick;
            answer(scene, script, outcome.requests.size() - 1);
        }
        for (int i = 1; i <= 2; ++i) {
            if (watched[i].revents == 0) continue;
            std::array<char, 65536> chunk;
            const ssize_t got = read(watched[i].fd, chunk.data(), chunk.size());
            if (got <= 0) {
                streams[i]->reset();
                watched[i].fd = -1;
                continue;
            }
            sinks[i]->append(chunk.data(), static_cast<std::size_t>(got));
            if (i == 1 && script.on_output) script.on_output(scene);
            if (i == 1 && in.write.get() >= 0) { // standard output grew: the next piece
                if (said < script.dialogue.size())
                    write_all(in.write, script.dialogue[said++]);
                else
                    in.write.reset();
            }
        }
    }
    if (out.read.get() >= 0 || err.read.get() >= 0) {
        ADD_FAILURE() << "telk did not finish within the deadline";
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    sockaddr_in peer{};
    while (take_request(server.fd.get(), outcome.requests, peer)) {
        // sent just before the end: counted, not answered
    }
    return outcome;
}

struct Case {
    const char *name;
    Script script;
    Strings requests; // what the server must receive, in order
    testing::Matcher<const std::string &> out = testing::IsEmpty();
    testing::Matcher<const std::string &> err = testing::IsEmpty();
    int status = 0;
    int server_port = 0; // 0: any free port
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class Telk : public testing::TestWithParam<Case> {};

TEST_P(Telk, Run)
{
    const Case &c = GetParam();
    const FakeServer server(c.server_port);
    if (server.fd.get() < 0) GTEST_SKIP() << "port " << c.server_port << " cannot be had here";
    if (c.script.max_files > 0 && TELK_SANITIZED)
        GTEST_SKIP() << "the sanitizers' runtime cannot start under a limit of open files";
    if (c.script.forges_icmp && Fd(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)).get() < 0)
        GTEST_SKIP() << "forging ICMP errors needs a raw socket (root): " << std::strerror(errno);
    const Outcome outcome = run_telk(server, c.script);
    EXPECT_EQ(outcome.requests, c.requests);
    EXPECT_THAT(outcome.out, c.out);
    EXPECT_THAT(outcome.err, c.err);
    EXPECT_EQ(outcome.status, c.status);
}

std::string case_name(const testing::TestParamInfo<Case> &info) { return info.param.name; }

const std::string k_at = "127.0.0.1:{port}";
const std::string k_receive_failed = "Error receiving UDP packet (tried=32768, rc=0): ";
const std::string k_not_sent_port_0 =
    "Could not send UDP packet (tried=13, rc=-1): Invalid argument\n";

const Case k_exchanges[] = {
    {.name = "one_command",
     .script = {.args = {k_at, "pw", "status"}, .replies = {{H + "map ok\n"}}},
     .requests = {request("status")},
     .out = "map ok\n\n"},
    {.name = "bytes_pass_unchanged",
     .script = {.args = {k_at, "a b\xe9", "say \"hi\"\t "}, .replies = {{H + "\0\xff x\n"s}}},
     .requests = {request("say \"hi\"\t ", "a b\xe9")},
     .out = "\0\xff x\n\n"s},
    {.name = "empty_password_and_command",
     .script = {.args = {k_at, "", ""}, .replies = {{H + "\n"}}},
     .requests = {H + "rcon  "},
     .out = "\n\n"},
    {.name = "datagrams_appended_header_and_all",
     .script = {.args = {k_at, "pw", "a"}, .replies = {{H + "one ", H + "two\n"}}},
     .requests = {request("a")},
     .out = "one " + H + "two\n\n"},
    {.name = "newline_within_header_does_not_end_reply",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{"\xff\xff\xff\n", H + "A\n"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = "B\n\n",
     .err = Eq("Invalid buffer header.  Sorry.\n")},
    {.name = "invalid_header_is_no_failure",
     .script = {.args = {k_at, "pw", "a", "b"}, .replies = {{"nope\n"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = "B\n\n",
     .err = Eq("Invalid buffer header.  Sorry.\n")},
    {.name = "empty_datagram_fails_and_stops",
     .script = {.args = {k_at, "pw", "a", "b", "c"}, .replies = {{H + "A\n"}, {""}}},
     .requests = {request("a"), request("b")},
     .out = "A\n\n",
     .err = StartsWith(k_receive_failed),
     .status = 1},
    {.name = "full_buffer_ends_reply",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + std::string(32764, 'x')}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = std::string(32764, 'x') + "\nB\n\n"},
    {.name = "datagram_cut_to_room_left",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + std::string(29996, 'a'), std::string(5000, 'b')}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = std::string(29996, 'a') + std::string(2768, 'b') + "\nB\n\n"},
    {.name = "longest_request_fits",
     .script = {.args = {k_at, std::string(32758, 'p'), ""}, .replies = {{H + "ok\n"}}},
     .requests = {request("", std::string(32758, 'p'))},
     .out = "ok\n\n"},
    {.name = "longer_request_refused_and_stops",
     .script = {.args = {k_at, std::string(32758, 'p'), "", "x", "y"}, .replies = {{H + "ok\n"}}},
     .requests = {request("", std::string(32758, 'p'))},
     .out = "ok\n\n",
     .err = Eq("Request too long (tried=32769, max=32768)\n"),
     .status = 1},
    {.name = "password_beyond_any_request_refused",
     .script = {.args = {k_at, std::string(100000, 'p'), "a"}},
     .err = Eq("Request too long (tried=100011, max=32768)\n"),
     .status = 1},
    {.name = "broadcast_refused_at_send",
     .script = {.args = {"127.255.255.255:{port}", "pw", "a", "b"}},
     .err = Eq("Could not send UDP packet (tried=13, rc=-1): Permission denied\n"),
     .status = 1},
    {.name = "lost_output_stops_before_next_command",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + "A\n"}, {H + "B\n"}},
                .output_file = "/dev/full"},
     .requests = {request("a")},
     .err = Eq("Couldn't write standard output: No space left on device\n"),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Exchange, Telk, testing::ValuesIn(k_exchanges), case_name);

/// A run of one command "a" against `target` that the server answers.
Case reaches(const char *name, const std::string &target, int server_port = 0)
{
    return {.name = name,
            .script = {.args = {target, "pw", "a"}, .replies = {{H + "A\n"}}},
            .requests = {request("a")},
            .out = "A\n\n",
            .server_port = server_port};
}

/// A run that ends with `out` before anything is sent.
Case refused(const char *name, Strings args, const std::string &out)
{
    return {.name = name, .script = {.args = std::move(args)}, .out = out, .status = 1};
}

/// A run against `target` whose port comes out as 0, which the system will not send to.
Case port_zero(const char *name, const std::string &target)
{
    return {.name = name,
            .script = {.args = {target, "pw", "a"}},
            .err = Eq(k_not_sent_port_0),
            .status = 1};
}

const std::string k_usage = "Usage: telk host[:port] password [command1 command2 ...]\n";

const Case k_targets[] = {
    reaches("numeric_two_parts", "127.1:{port}"),
    reaches("numeric_one_number", "2130706433:{port}"),
    reaches("numeric_hexadecimal", "0x7f.0.0.1:{port}"),
    reaches("name", "localhost:{port}"),
    reaches("port_after_blanks_and_sign", "127.0.0.1: \t+{port}x"),
    reaches("port_leading_zeros_are_decimal", "127.0.0.1:00{port}"),
    reaches("port_ends_at_second_colon", "127.0.0.1:{port}:99"),
    reaches("port_wraps_above_16_bits", "127.0.0.1:{port+65536}"),
    reaches("port_wraps_below_zero", "127.0.0.1:{port-65536}"),
    reaches("default_port", "127.0.0.1", 27960),
    port_zero("port_empty", "127.0.0.1:"),
    port_zero("port_without_digits", "127.0.0.1:x1"),
    port_zero("huge_negative_port_held_at_0", "127.0.0.1:-99999999999"),
    refused("all_ones_refused", {"255.255.255.255:{port}", "pw", "a"}, "Invalid IP address.\n"),
    refused("five_parts_refused", {"1.2.3.4.5", "pw", "a"}, "Invalid IP address.\n"),
    refused("digit_name_never_resolved", {"9localhost", "pw", "a"}, "Invalid IP address.\n"),
    refused("empty_host_resolved_and_unknown", {":{port}", "pw", "a"},
            "Unknown or invalid hostname.\n"),
    // a label over 63 bytes fails before any query leaves the machine
    refused("unknown_name", {std::string(64, 'x') + ".invalid", "pw", "a"},
            "Unknown or invalid hostname.\n"),
    refused("no_arguments", {}, k_usage),
    refused("host_only", {"127.0.0.1:{port}"}, k_usage),
};
INSTANTIATE_TEST_SUITE_P(Target, Telk, testing::ValuesIn(k_targets), case_name);

/// A run refused for its options: `err` on standard error, nothing sent.
Case bad_option(const char *name, Strings options, const std::string &err)
{
    options.insert(options.end(), {k_at, "pw", "a"});
    return {.name = name, .script = {.args = std::move(options)}, .err = Eq(err), .status = 1};
}

const std::string k_options_are = "the options are -w, -q, -i, -p, -c, -h and -V\n";
const std::string k_w_takes = "Option -w takes a number of seconds from 0.001 to 3600\n";
const std::string k_q_takes = "Option -q takes a number of seconds from 0.001 to 60\n";
const std::string k_i_takes = "Option -i takes a number of seconds from 0 to 3600\n";
const std::string k_refused =
    "Error receiving UDP packet (tried=32768, rc=-1): Connection refused\n";

const Case k_options[] = {
    {.name = "options_end_at_host_and_dashes_pass",
     .script = {.args = {"-w", "2.5", "-q", ".5", "-i", "0", "--", k_at, "-pw", "-i", "-"},
                .replies = {{H + "A\n"}, {H + "B\n"}, {H + "C\n"}}},
     .requests = {request("-i", "-pw"), request("-", "-pw")},
     .out = "A\n\nB\n\n"},
    {.name = "paced_commands_in_order",
     .script = {.args = {"-i", "0.01", k_at, "pw", "a", "b", "c"},
                .replies = {{H + "A\n"}, {H + "B\n"}, {H + "C\n"}}},
     .requests = {request("a"), request("b"), request("c")},
     .out = "A\n\nB\n\nC\n\n"},
    {.name = "wait_bound_from_option",
     .script = {.args = {"-w", "0.2", k_at, "pw", "a", "b"}},
     .requests = {request("a")},
     .err = Eq("Error receiving UDP packet (tried=32768, rc=-1): Connection timed out\n"),
     .status = 1},
    refused("options_leave_too_few_arguments", {"-w", "1", k_at}, k_usage),
    bad_option("unknown_option", {"-x", "1"}, "Unknown option -x: " + k_options_are),
    bad_option("unknown_long_option", {"--foo"}, "Unknown option --foo: " + k_options_are),
    {.name = "password_file_missing_its_name",
     .script = {.args = {"-c", "-p"}},
     .err = Eq("Option -p takes the name of a file\n"),
     .status = 1},
    bad_option("missing_value", {"-q"}, k_q_takes), // the host becomes -q's value: no number
    {.name = "missing_value_at_end", .script = {.args = {"-w"}}, .err = Eq(k_w_takes), .status = 1},
    bad_option("value_zero", {"-w", "0"}, k_w_takes),
    bad_option("value_over_range", {"-w", "3600.001"}, k_w_takes),
    bad_option("value_with_exponent", {"-w", "1e3"}, k_w_takes),
    bad_option("value_empty", {"-w", ""}, k_w_takes),
    bad_option("value_just_a_point", {"-w", "."}, k_w_takes),
    bad_option("value_huge", {"-w", std::string(400, '9')}, k_w_takes),
    bad_option("quiet_over_range", {"-q", "60.5"}, k_q_takes),
    bad_option("pace_negative", {"-i", "-1"}, k_i_takes),
    bad_option("pace_trailing_text", {"-i", "1s"}, k_i_takes),
    {.name = "refused_port_fails_at_once",
     .script = {.args = {"127.0.0.1:{closed}", "pw", "a", "b"},
                .deadline = std::chrono::seconds(5)},
     .err = Eq(k_refused),
     .status = 1},
    {.name = "refused_port_fails_at_once_when_collecting",
     .script = {.args = {"-q", "0.5", "127.0.0.1:{closed}", "pw"},
                .input = "a\n",
                .deadline = std::chrono::seconds(5)},
     .out = "Enter commands.\n\n",
     .err = Eq(k_refused),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Options, Telk, testing::ValuesIn(k_options), case_name);

/// A run of "-q 0.3" with commands "a" and "b": `pieces` answer "a", and "B" answers "b".
Case quiet(const char *name, const Strings &pieces, const std::string &out)
{
    return {.name = name,
            .script = {.args = {"-q", "0.3", k_at, "pw", "a", "b"}, .replies = {pieces, {H + "B"}}},
            .requests = {request("a"), request("b")},
            .out = out + "\nB\n"};
}

const std::string k_first = H + "print\n";

const Case k_quiet[] = {
    quiet("quiet_joins_pieces_without_openings",
          {k_first + "ab", k_first + "cd\n", k_first, k_first + "ef"}, "print\nabcd\nef"),
    quiet("quiet_keeps_a_first_line_that_differs", {k_first + "ab", H + "other\ncd"},
          "print\nabother\ncd"),
    quiet("quiet_appends_a_piece_without_header_whole", {k_first + "ab", "print\ncd"},
          "print\nabprint\ncd"),
    quiet("quiet_waits_past_a_lone_header", {H, k_first + "ab"}, "print\nab"),
    quiet("quiet_stops_at_full_buffer",
          {k_first + std::string(16000, 'x'), k_first + std::string(20000, 'y')},
          "print\n" + std::string(16000, 'x') + std::string(16758, 'y')),
    {.name = "quiet_empty_datagram_fails",
     .script = {.args = {"-q", "0.3", k_at, "pw", "a", "b"}, .replies = {{k_first + "a", ""}}},
     .requests = {request("a")},
     .err = StartsWith(k_receive_failed),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Quiet, Telk, testing::ValuesIn(k_quiet), case_name);

// Both runs need port 65535, so they take turns in one test rather than two parallel ones.
TEST(TelkPort65535, MinusOneAndHugeNumbersReachIt)
{
    const FakeServer server(65535);
    if (server.fd.get() < 0) GTEST_SKIP() << "port 65535 cannot be had here";
    const Case cases[] = {
        reaches("minus_one", "127.0.0.1:-1"),
        reaches("huge", "127.0.0.1:99999999999"),
        // clamping the port must leave no error number behind for the empty datagram's message
        {.name = "huge_leaves_errno_alone",
         .script = {.args = {"127.0.0.1:99999999999999999999", "pw", "a"}, .replies = {{""}}},
         .requests = {request("a")},
         .err = Eq("Error receiving UDP packet (tried=32768, rc=0): Success\n"),
         .status = 1},
    };
    for (const Case &c : cases) {
        const Outcome outcome = run_telk(server, c.script);
        EXPECT_EQ(outcome.requests, c.requests) << c.name;
        EXPECT_THAT(outcome.out, c.out) << c.name;
        EXPECT_THAT(outcome.err, c.err) << c.name;
        EXPECT_EQ(outcome.status, c.status) << c.name;
    }
}

/// Stops telk and, once it has stopped (or ended), lets it go on; its end is left for
/// run_telk to collect.
void stop_and_continue(const Scene &scene)
{
    kill(scene.pid, SIGSTOP);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(scene.pid), &info, WSTOPPED | WEXITED | WNOWAIT);
    kill(scene.pid, SIGCONT);
}

/// A hook that sends `datagram` to telk.
Hook sends(const std::string &datagram)
{
    return [datagram](const Scene &scene) { send_to_telk(scene, datagram); };
}

/// The internet checksum of `bytes`, in network byte order.
std::uint16_t internet_checksum(std::span<const unsigned char> bytes)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        sum += i % 2 == 0 ? bytes[i] << 8 : bytes[i];
    while (sum > 0xffff)
        sum = (sum & 0xffff) + (sum >> 16);
    return htons(static_cast<std::uint16_t>(~sum));
}

/// A hook that forges an ICMP error of `type` and `code`, as a router or the server's host
/// would send it, about a datagram from telk to the server's port plus `port_offset`.
Hook forges(std::uint8_t type, std::uint8_t code, int port_offset = 0)
{
    return [=](const Scene &scene) {
        iphdr ip{};
        ip.version = 4;
        ip.ihl = 5;
        ip.ttl = 64;
        ip.protocol = IPPROTO_UDP;
        ip.tot_len = htons(sizeof ip + sizeof(udphdr));
        ip.saddr = ip.daddr = htonl(INADDR_LOOPBACK);
        udphdr udp{};
        udp.source = scene.telk.sin_port;
        udp.dest = htons(static_cast<std::uint16_t>(scene.server.port + port_offset));
        udp.len = htons(sizeof udp);
        icmphdr icmp{};
        icmp.type = type;
        icmp.code = code;
        std::array<unsigned char, sizeof icmp + sizeof ip + sizeof udp> packet{};
        std::memcpy(packet.data() + sizeof icmp, &ip, sizeof ip);
        std::memcpy(packet.data() + sizeof icmp + sizeof ip, &udp, sizeof udp);
        std::memcpy(packet.data(), &icmp, sizeof icmp);
        const std::uint16_t checksum = internet_checksum(packet);
        std::memcpy(packet.data() + offsetof(icmphdr, checksum), &checksum, sizeof checksum);
        const Fd raw(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(sendto(raw.get(), packet.data(), packet.size(), 0,
                         reinterpret_cast<const sockaddr *>(&to), sizeof to),
                  static_cast<ssize_t>(packet.size()));
    };
}

const std::string k_timed_out =
    "Error receiving UDP packet (tried=32768, rc=-1): Connection timed out\n";
/// A reply that fills the buffer, and what telk prints of it.
const std::string k_full_reply = H + std::string(32763, 'x') + "\n";
const std::string k_full_text = std::string(32763, 'x') + "\n\n";

const Case k_bounds[] = {
    {.name = "dripping_reply_ends_at_the_bound",
     .script = {.args = {"-w", "1", k_at, "pw", "a"},
                .replies = {{H + "a"}},
                .every_tick = sends("b"),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = testing::MatchesRegex("ab+\n")},
    {.name = "dripping_openings_end_at_the_bound_when_collecting",
     .script = {.args = {"-q", "0.3", "-w", "1", k_at, "pw", "a"},
                .replies = {{k_first}},
                .every_tick = sends(k_first),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = "print\n\n"},
    {.name = "dripping_headers_time_out_when_collecting",
     .script = {.args = {"-q", "0.3", "-w", "1", k_at, "pw", "a", "b"},
                .replies = {{H}},
                .every_tick = sends(H),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .err = Eq(k_timed_out),
     .status = 1},
    {.name = "three_quick_datagrams_make_one_reply",
     .script = {.args = {k_at, "pw", "a", "b"}, .replies = {{H + "a", "b", "c\n"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = "abc\n\nB\n\n"},
    {.name = "stopping_and_continuing_does_not_extend_the_bound",
     .script = {.args = {"-w", "1", k_at, "pw", "a"},
                .every_tick = stop_and_continue,
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .err = Eq(k_timed_out),
     .status = 1},
    {.name = "time_exceeded_is_waited_past_and_keeps_the_text",
     .script = {.args = {"-w", "1", k_at, "pw", "a"},
                .replies = {{H + "part"}},
                .every_tick = forges(ICMP_TIME_EXCEEDED, ICMP_EXC_TTL),
                .forges_icmp = true,
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = "part\n"},
    {.name = "port_unreachable_about_another_port_is_waited_past",
     .script = {.args = {k_at, "pw", "a"},
                .replies = {{H + "A\n"}},
                .before_reply = forges(ICMP_DEST_UNREACH, ICMP_PORT_UNREACH, 1),
                .forges_icmp = true},
     .requests = {request("a")},
     .out = "A\n\n"},
    {.name = "host_unreachable_about_the_target_fails",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + "A\n"}},
                .before_reply = forges(ICMP_DEST_UNREACH, ICMP_HOST_UNREACH),
                .forges_icmp = true},
     .requests = {request("a")},
     .err = Eq("Error receiving UDP packet (tried=32768, rc=-1): No route to host\n"),
     .status = 1},
    {.name = "port_unreachable_during_a_pause_does_not_fail_the_next_send",
     .script = {.args = {"-i", "0.5", k_at, "pw", "a", "b"},
                .replies = {{H + "A\n"}, {H + "B\n"}},
                .on_output = forges(ICMP_DEST_UNREACH, ICMP_PORT_UNREACH),
                .forges_icmp = true},
     .requests = {request("a"), request("b")},
     .out = "A\n\nB\n\n"},
    {.name = "late_piece_is_dropped_when_collecting",
     .script = {.args = {"-q", "0.2", "-i", "0.5", k_at, "pw", "a", "b"},
                .replies = {{k_first + "A\n"}, {k_first + "B\n"}},
                .on_output = sends(k_first + "late\n")},
     .requests = {request("a"), request("b")},
     .out = "print\nA\n\nprint\nB\n\n"},
    {.name = "full_nonblocking_output_waits_for_its_reader",
     .script = {.args = {k_at, "pw", "a", "b", "c", "d", "e"},
                .replies = {{k_full_reply},
                            {k_full_reply},
                            {k_full_reply},
                            {k_full_reply},
                            {k_full_reply}},
                .nonblocking_output = true},
     .requests = {request("a"), request("b"), request("c"), request("d"), request("e")},
     .out = k_full_text + k_full_text + k_full_text + k_full_text + k_full_text},
    {.name = "closed_input_under_a_limit_of_one_file_never_reads_the_socket",
     .script = {.args = {k_at, "pw"},
                .closed_fd = 0,
                .max_files = 1,
                .deadline = std::chrono::seconds(10)},
     .err = Eq("Couldn't open UDP socket: Too many open files\n"),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Bound, Telk, testing::ValuesIn(k_bounds), case_name);

const Case k_waits[] = {
    // these two wait out the real bound
    {.name = "silence_times_out_and_stops",
     .script = {.args = {k_at, "pw", "a", "b"}},
     .requests = {request("a")},
     .err = Eq("Error receiving UDP packet (tried=32768, rc=-1): Connection timed out\n"),
     .status = 1},
    {.name = "silence_after_text_ends_reply",
     .script = {.args = {k_at, "pw", "a", "b"}, .replies = {{H + "part"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = "part\nB\n\n"},
    {.name = "stop_and_continue_keeps_waiting",
     .script = {.args = {k_at, "pw", "a"},
                .replies = {{H + "A\n"}},
                .before_reply = stop_and_continue},
     .requests = {request("a")},
     .out = "A\n\n"},
};
INSTANTIATE_TEST_SUITE_P(Wait, Telk, testing::ValuesIn(k_waits), case_name);

const std::string k_greeting = "Enter commands.\n\n";

/// An interactive run fed `input` whose every request gets "ok"; `sent` is what must arrive.
Case interactive(const char *name, const std::string &input, const Strings &sent)
{
    Case c{.name = name, .script = {.args = {k_at, "pw"}, .input = input}};
    std::string out = k_greeting;
    for (const std::string &command : sent) {
        c.script.replies.push_back({H + "ok\n"});
        c.requests.push_back(request(command));
        out += "ok\n\n";
    }
    c.out = out;
    return c;
}

const std::string k_secret = "s3cret pass\xe9";

/// Fails the test when telk's entry in the process list still shows the password.
void expect_password_hidden(const Scene &scene)
{
    std::ifstream file("/proc/" + std::to_string(scene.pid) + "/cmdline");
    const std::string cmdline{std::istreambuf_iterator<char>(file), {}};
    EXPECT_THAT(cmdline, testing::HasSubstr("127.0.0.1"));
    EXPECT_THAT(cmdline, testing::Not(testing::HasSubstr("s3cret")));
}

const Case k_interactive[] = {
    {.name = "password_hidden_from_process_list",
     .script = {.args = {k_at, k_secret},
                .input = "a\n",
                .replies = {{H + "A\n"}},
                .before_reply = expect_password_hidden},
     .requests = {request("a", k_secret)},
     .out = k_greeting + "A\n\n"},
    interactive("end_of_input_at_once", "", {}),
    interactive("line_ends", "crlf\r\nlone\rdropped\n\n\r\nlast", {"crlf", "lone", "", "", "last"}),
    interactive("zero_byte_ends_command", "ab\0cd\nef\n"s, {"ab", "ef"}),
    interactive("line_of_1023_bytes_is_one_command", std::string(1023, 'x') + "\ny\n",
                {std::string(1023, 'x'), "y"}),
    interactive("line_of_1022_bytes_and_crlf_is_one_command", std::string(1022, 'x') + "\r\n",
                {std::string(1022, 'x')}),
    interactive("long_tail_after_cr_or_zero_dropped",
                "a\r" + std::string(3000, 'x') + "\nb\0"s + std::string(5000, 'y') + "\nc",
                {"a", "b", "c"}),
    {.name = "too_long_command_sends_nothing_of_its_line",
     .script = {.args = {k_at, "pw"},
                .input = "a\nsay " + std::string(1019, 'x') + "echo INJECTED\r\nb\n",
                .replies = {{H + "A\n"}}},
     .requests = {request("a")},
     .out = k_greeting + "A\n\n",
     .err = Eq("Command too long (tried=1036, max=1023)\n"),
     .status = 1},
    {.name = "read_error_reported",
     .script = {.args = {k_at, "pw"}, .input_file = "/"},
     .out = k_greeting,
     .err = Eq("Couldn't read standard input: Is a directory\n"),
     .status = 1},
    {.name = "closed_input_is_no_socket",
     .script = {.args = {k_at, "pw"}, .closed_fd = 0},
     .out = k_greeting,
     .err = Eq("Couldn't read standard input: Bad file descriptor\n"),
     .status = 1},
    {.name = "closed_output_is_no_socket",
     .script = {.args = {k_at, "pw"}, .input = "a\n", .closed_fd = 1},
     .err = Eq("Couldn't write standard output: Bad file descriptor\n"),
     .status = 1},
    {.name = "lost_greeting_sends_nothing",
     .script = {.args = {k_at, "pw"}, .input = "a\n", .output_file = "/dev/full"},
     .err = Eq("Couldn't write standard output: No space left on device\n"),
     .status = 1},
    {.name = "reply_out_before_waiting_for_input",
     .script = {.args = {k_at, "pw"},
                .dialogue = {"a\n", "b\n"},
                .nonblocking_input = true,
                .replies = {{H + "A\n"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = k_greeting + "A\n\nB\n\n"},
    {.name = "paced_lines_in_order",
     .script = {.args = {"-i", "0.01", k_at, "pw"},
                .input = "a\nb\nc\n",
                .replies = {{H + "A\n"}, {H + "B\n"}, {H + "C\n"}}},
     .requests = {request("a"), request("b"), request("c")},
     .out = k_greeting + "A\n\nB\n\nC\n\n"},
    {.name = "failure_stops_reading",
     .script = {.args = {k_at, "pw"}, .input = "a\nb\nc\n", .replies = {{H + "A\n"}, {""}}},
     .requests = {request("a"), request("b")},
     .out = k_greeting + "A\n\n",
     .err = StartsWith(k_receive_failed),
     .status = 1},
    refused("refused_target_before_greeting", {"255.255.255.255:{port}", "pw"},
            "Invalid IP address.\n"),
};
INSTANTIATE_TEST_SUITE_P(Interactive, Telk, testing::ValuesIn(k_interactive), case_name);

/// A run of "-p FILE host a" whose file holds `text`; `password` is what must be sent.
Case password_from(const char *name, const std::string &text, const std::string &password)
{
    return {.name = name,
            .script = {.args = {"-p", "{file}", k_at, "a"}, .file = text, .replies = {{H + "A\n"}}},
            .requests = {request("a", password)},
            .out = "A\n\n"};
}

/// A run of "-p FILE host a" that fails for its file with `reason`, sending nothing.
Case password_refused(const char *name, const std::string &file, const std::string &reason)
{
    return {.name = name,
            .script = {.args = {"-p", file, k_at, "a"}},
            .err = Eq("Couldn't read password file: " + reason + "\n"),
            .status = 1};
}

const Case k_password_files[] = {
    password_from("newline_ends_the_password", "pw\nsecond line\n", "pw"),
    password_from("cr_lf_ends_the_password", "pw\r\n", "pw"),
    password_from("cr_ending_the_file_goes", "pw\r", "pw"),
    password_from("blanks_and_8_bit_bytes_kept", " p\rw \xe9", " p\rw \xe9"),
    password_from("empty_file_is_the_empty_password", "", ""),
    password_refused("missing_file", "/nonexistent/pw", "No such file or directory"),
    password_refused("directory", "/", "Is a directory"),
    {.name = "line_longer_than_any_request_refused",
     .script = {.args = {"-p", "{file}", k_at, "a"}, .file = std::string(200000, 'p')},
     .err = Eq("Couldn't read password file: File too large\n"),
     .status = 1},
    {.name = "host_alone_reads_commands",
     .script =
         {.args = {"-p", "{file}", k_at}, .file = "pw\n", .input = "a\n", .replies = {{H + "A\n"}}},
     .requests = {request("a")},
     .out = k_greeting + "A\n\n"},
    {.name = "a_pipe_is_read_no_further_than_its_first_line",
     .script = {.args = {"-p", "/dev/stdin", k_at},
                .input = "pw\na\nb\n",
                .replies = {{H + "A\n"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = k_greeting + "A\n\nB\n\n"},
    refused("no_host", {"-p", "{file}"}, k_usage),
};
INSTANTIATE_TEST_SUITE_P(PasswordFile, Telk, testing::ValuesIn(k_password_files), case_name);

/// A run of "-c host pw a" whose reply is `datagrams`; `terminal`: standard output is one.
Case clean(const char *name, const Strings &datagrams, const std::string &out,
           bool terminal = false)
{
    return {.name = name,
            .script = {.args = {"-c", k_at, "pw", "a"},
                       .replies = {datagrams},
                       .terminal_output = terminal},
            .requests = {request("a")},
            .out = out};
}

const Case k_clean[] = {
    clean("print_line_and_colour_codes_go", {k_first + "^1Red^7Server ^a^Z ^^3x ^ end^\n"},
          "RedServer  ^x ^ end^\n"),
    clean("only_an_exact_print_line_goes", {H + "printer\nx"}, "printer\nx\n"),
    clean("control_bytes_pass_into_a_pipe", {H + "\x1b[2J\a\x7f\xc2\x9b"},
          "\x1b[2J\a\x7f\xc2\x9b\n"),
    clean("empty_text_prints_nothing", {k_first}, ""),
    {.name = "codes_split_across_collected_pieces",
     .script = {.args = {"-q", "0.1", "-c", k_at, "pw", "a"},
                .replies = {{k_first + "a^", k_first + "1b\n"}}},
     .requests = {request("a")},
     .out = "ab\n"},
    {.name = "invalid_header_is_refused_as_ever",
     .script = {.args = {"-c", k_at, "pw", "a", "b"}, .replies = {{"nope\n"}, {H + "B"}}},
     .requests = {request("a"), request("b")},
     .out = "B\n",
     .err = Eq("Invalid buffer header.  Sorry.\n")},
    clean("terminal_shows_colours_until_each_newline", {k_first + "^1Red^7Server\n^2green\n^aend"},
          "\x1b[31mRed\x1b[0mServer\n\x1b[32mgreen\x1b[0m\n\x1b[31mend\x1b[0m\n", true),
    clean("terminal_shows_control_bytes_in_caret_notation",
          {H + "\x1b[2J\a\x7f\t|\xc2\x9b|\xc3\xa9\n"}, "^[[2J^G^?\t|M-^[|\xc3\xa9\n", true),
};
INSTANTIATE_TEST_SUITE_P(Clean, Telk, testing::ValuesIn(k_clean), case_name);

const Case k_help[] = {
    {.name = "help_lists_every_option",
     .script = {.args = {"-w", "1", "--help", "-x", k_at, "pw", "a"}},
     .out = testing::AllOf(
         StartsWith("Usage: telk [options] host[:port] password"),
         testing::HasSubstr("\n  -w seconds "), testing::HasSubstr("\n  -q seconds "),
         testing::HasSubstr("\n  -i seconds "), testing::HasSubstr("\n  -p file "),
         testing::HasSubstr("\n  -c "), testing::HasSubstr("\n  -h, --help "),
         testing::HasSubstr("\n  -V, --version "))},
    {.name = "short_help", .script = {.args = {"-h"}}, .out = StartsWith("Usage: telk [options]")},
    {.name = "version", .script = {.args = {"--version"}}, .out = "telk " TELK_VERSION "\n"},
    {.name = "short_version", .script = {.args = {"-V", k_at}}, .out = "telk " TELK_VERSION "\n"},
    {.name = "help_that_cannot_be_written_fails",
     .script = {.args = {"-h"}, .output_file = "/dev/full"},
     .err = Eq("Couldn't write standard output: No space left on device\n"),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Help, Telk, testing::ValuesIn(k_help), case_name);

} // namespace
