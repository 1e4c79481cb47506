// The harness: telk spawned, its requests served and recorded, its streams and status taken.
#include "harness.hpp"
#include "../src/json.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip6.h>
#include <netinet/ip_icmp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace telk_test {

namespace {

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

/// A connected pair of stream sockets in a pipe's place.
Pipe make_socket_pair()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        ADD_FAILURE() << "socketpair: " << std::strerror(errno);
        return {};
    }
    return {Fd(ends[0]), Fd(ends[1])};
}

/// A loopback port that nothing listens on: bound for a moment, then let go.
int closed_port(bool v6) { return FakeServer(0, v6).port; }

std::string expand(std::string arg, const FakeServer &server, const std::string &file)
{
    const int port = server.port;
    for (const auto &[token, value] : {std::pair{"{port}"s, port},
                                       {"{port+65536}"s, port + 65536},
                                       {"{port-65536}"s, port - 65536}})
        for (auto at = arg.find(token); at != std::string::npos; at = arg.find(token))
            arg.replace(at, token.size(), std::to_string(value));
    if (const auto at = arg.find("{closed}"); at != std::string::npos)
        arg.replace(at, 8, std::to_string(closed_port(server.v6)));
    if (const auto at = arg.find("{file}"); at != std::string::npos) arg.replace(at, 6, file);
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
Pipe make_terminal(bool raw = true)
{
    Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
        return {};
    }
    Fd terminal(open(ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios mode{};
    tcgetattr(terminal.get(), &mode);
    if (raw) cfmakeraw(&mode);
    tcsetattr(terminal.get(), TCSANOW, &mode);
    return {std::move(master), std::move(terminal)};
}

/// Starts telk with `fds` as its standard descriptors (-1: closed), within the limits of
/// `script`. Returns its pid, or -1.
pid_t spawn_telk(const Strings &args, const std::array<int, 3> &fds, const Script &script,
                 const Strings &env)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int target = 0; target < 3; ++target) {
        if (fds[target] < 0)
            posix_spawn_file_actions_addclose(&actions, target);
        else
            posix_spawn_file_actions_adddup2(&actions, fds[target], target);
    }
    // only the standard descriptors: one that leaked into the tests (from ctest, say) would
    // take a number that a limit of open files leaves telk
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE); // ignored here, so that a write to a gone telk is no kill
    posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::string limits;
    if (script.max_files > 0) limits += "ulimit -n " + std::to_string(script.max_files) + " && ";
    if (script.max_memory_mib > 0)
        limits += "ulimit -v " + std::to_string(script.max_memory_mib * 1024) + " && ";
    Strings line{TELK_PATH};
    if (!limits.empty()) line = {"/bin/sh", "-c", limits + R"(exec "$0" "$@")", TELK_PATH};
    line.insert(line.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (const std::string &arg : line)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp; // the script's first: the first of a name is the one seen
    for (const std::string &variable : env)
        envp.push_back(const_cast<char *>(variable.c_str()));
    for (char **variable = environ; *variable != nullptr; ++variable)
        envp.push_back(*variable);
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

/// Takes one waiting datagram off `fd` into `requests`; false when none is waiting.
bool take_request(int fd, Strings &requests, sockaddr_in6 &peer)
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
           reinterpret_cast<const sockaddr *>(&scene.telk),
           scene.server.v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
}

void answer(const Scene &scene, const Script &script, const Strings &requests, const Times &times)
{
    const std::size_t index = requests.size() - 1;
    if (!script.respond && index >= script.replies.size()) return;
    if (script.before_reply) script.before_reply(scene);
    for (const std::string &datagram :
         script.respond ? script.respond(requests, times) : script.replies[index])
        send_to_telk(scene, datagram);
}

/// Writes `text` to telk's standard input, unless telk has gone without reading it. (More than
/// the pipe holds waits for telk to read it: only servers that answer by themselves, as a
/// fleet's, go on meanwhile.)
void write_all(const Fd &fd, const std::string &text)
{
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t wrote = write(fd.get(), text.data() + at, text.size() - at);
        if (wrote < 0) {
            EXPECT_EQ(errno, EPIPE);
            return;
        }
        at += static_cast<std::size_t>(wrote);
    }
}

/// Opens `path` for telk when a script names one.
Fd open_for_telk(const char *path, int flags) { return Fd(path ? open(path, flags) : -1); }

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

/// Sends `packet` from a raw socket of `family` and `protocol` to the loopback address `to`.
void send_raw(int family, int protocol, std::span<const unsigned char> packet, const void *to,
              socklen_t size)
{
    const Fd raw(socket(family, SOCK_RAW | SOCK_CLOEXEC, protocol));
    EXPECT_EQ(
        sendto(raw.get(), packet.data(), packet.size(), 0, static_cast<const sockaddr *>(to), size),
        static_cast<ssize_t>(packet.size()));
}

/// Sends an ICMP error of `type` and `code` about the datagram whose UDP header was `udp`.
void forge_icmp(std::uint8_t type, std::uint8_t code, const udphdr &udp)
{
    iphdr ip{};
    ip.version = 4;
    ip.ihl = 5;
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.tot_len = htons(sizeof ip + sizeof udp);
    ip.saddr = ip.daddr = htonl(INADDR_LOOPBACK);
    icmphdr icmp{};
    icmp.type = type;
    icmp.code = code;
    std::array<unsigned char, sizeof icmp + sizeof ip + sizeof udp> packet{};
    std::memcpy(packet.data() + sizeof icmp, &ip, sizeof ip);
    std::memcpy(packet.data() + sizeof icmp + sizeof ip, &udp, sizeof udp);
    std::memcpy(packet.data(), &icmp, sizeof icmp);
    const std::uint16_t checksum = internet_checksum(packet);
    std::memcpy(packet.data() + offsetof(icmphdr, checksum), &checksum, sizeof checksum);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    send_raw(AF_INET, IPPROTO_ICMP, packet, &to, sizeof to);
}

/// Sends an ICMPv6 error of `type` and `code` about the datagram whose UDP header was `udp`;
/// the system fills in an ICMPv6 checksum itself.
void forge_icmp6(std::uint8_t type, std::uint8_t code, const udphdr &udp)
{
    ip6_hdr ip{};
    ip.ip6_flow = htonl(6U << 28); // version 6
    ip.ip6_plen = htons(sizeof udp);
    ip.ip6_nxt = IPPROTO_UDP;
    ip.ip6_hlim = 64;
    ip.ip6_src = ip.ip6_dst = in6addr_loopback;
    icmp6_hdr icmp{};
    icmp.icmp6_type = type;
    icmp.icmp6_code = code;
    std::array<unsigned char, sizeof icmp + sizeof ip + sizeof udp> packet{};
    std::memcpy(packet.data(), &icmp, sizeof icmp);
    std::memcpy(packet.data() + sizeof icmp, &ip, sizeof ip);
    std::memcpy(packet.data() + sizeof icmp + sizeof ip, &udp, sizeof udp);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = in6addr_loopback;
    send_raw(AF_INET6, IPPROTO_ICMPV6, packet, &to, sizeof to);
}

} // namespace

FakeServer::FakeServer(int wanted, bool ipv6, std::uint32_t address) : v6(ipv6)
{
    sockaddr_in6 self{}; // a sockaddr_in on 127.0.0.1
    socklen_t size = sizeof self;
    if (v6) {
        self.sin6_family = AF_INET6;
        self.sin6_addr = in6addr_loopback;
    } else {
        auto &self4 = reinterpret_cast<sockaddr_in &>(self);
        self4.sin_family = AF_INET;
        self4.sin_addr.s_addr = htonl(address);
        size = sizeof self4;
    }
    self.sin6_port = htons(static_cast<in_port_t>(wanted)); // where sin_port is, too
    Fd sock(socket(self.sin6_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (bind(sock.get(), reinterpret_cast<sockaddr *>(&self), size) != 0 ||
        getsockname(sock.get(), reinterpret_cast<sockaddr *>(&self), &size) != 0) {
        error = errno;
        return;
    }
    fd = std::move(sock);
    port = ntohs(self.sin6_port);
}

/// One server's side of a run: what it got, and where and when.
struct ServerEnd {
    Strings &requests, &probes;
    Scene scene; // telk is where the last request came from
    Times times; // when each request came
};

/// Takes the datagram waiting at `end` and answers it as `script` says. Returns whether it was
/// a request, not the question why the server is silent.
bool serve(ServerEnd &end, const Script &script)
{
    sockaddr_in6 from{};
    if (!take_request(end.scene.server.fd.get(), end.requests, from)) return false;
    // telk asks why a server is silent from a socket of its own
    if (end.requests.size() > 1 && from.sin6_port != end.scene.telk.sin6_port) {
        end.probes.push_back(end.requests.back());
        end.requests.pop_back();
        end.scene.question = from;
        end.scene.asked_tick = end.scene.ticks;
        Scene asked = end.scene;
        asked.telk = from;
        for (const std::string &datagram : script.probe_answer)
            send_to_telk(asked, datagram);
        return false;
    }
    end.scene.telk = from;
    end.times.push_back(std::chrono::steady_clock::now());
    answer(end.scene, script, end.requests, end.times);
    return true;
}

/// Waits, at most until `deadline`, for the terminal whose keyboard end is `keyboard` to leave
/// line mode: a line editor writes its prompt first, and keys typed before it takes them one
/// by one would be read as the terminal's own line.
void wait_for_editing(const Fd &keyboard, std::chrono::steady_clock::time_point deadline)
{
    const Fd terminal(open(ptsname(keyboard.get()), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    termios mode{};
    while (tcgetattr(terminal.get(), &mode) == 0 && (mode.c_lflag & ICANON) != 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // no event tells of it
}

/// Runs telk to its end, serving its requests, with every wait bounded by the deadline.
Outcome run_telk(const FakeServer &server, const Script &script, const FakeServer *twin)
{
    std::signal(SIGPIPE, SIG_IGN);
    Pipe in = script.socket_input ? make_socket_pair() : make_pipe(),
         out = script.terminal_output ? make_terminal() : make_pipe(),
         err = script.terminal_error ? make_terminal() : make_pipe();
    if (script.terminal_input) { // telk's end of a terminal, and the keyboard's
        Pipe terminal = make_terminal();
        in = {std::move(terminal.write), std::move(terminal.read)};
    }
    if (script.console) { // one terminal: telk reads and writes it, the harness types and reads
        Pipe terminal = make_terminal(false);
        in = {Fd(dup(terminal.write.get())), Fd(dup(terminal.read.get()))};
        out = std::move(terminal);
    }
    const TempFile file(script.file);
    const std::string input_path =
        expand(script.input_file ? script.input_file : "", server, file.path);
    Fd input_file =
        open_for_telk(script.input_file ? input_path.c_str() : nullptr, O_RDONLY | O_CLOEXEC);
    Fd output_file = open_for_telk(script.output_file, O_WRONLY | O_CLOEXEC);
    if (script.nonblocking_input) fcntl(in.read.get(), F_SETFL, O_NONBLOCK);
    // room for every row's output, so that telk never waits for the harness to read it
    fcntl(out.write.get(), F_SETPIPE_SZ, 1 << 20);
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
        args.push_back(expand(arg, server, file.path));
    // each run keeps its servers' allowance in a folder of its own, unless the script shares one
    const TempFolder runtime;
    Strings env = script.env;
    env.push_back(runtime.env());
    const pid_t pid = spawn_telk(args, fds, script, env);
    for (Fd *telks : {&in.read, &out.write, &err.write, &input_file, &output_file})
        telks->reset();
    Outcome outcome;
    if (pid <= 0) { // no pid of ours to wait for or to kill
        ADD_FAILURE() << "telk could not be started";
        return outcome;
    }
    std::size_t said = 0; // pieces of the dialogue written so far
    std::size_t prompted_at = std::string::npos; // where the console's last prompt began
    if (script.dialogue.empty()) {
        write_all(in.write, script.input);
        if (!script.terminal_input) in.write.reset(); // a hangup would drop what is unread
    }

    std::string *sinks[] = {nullptr, &outcome.out, &outcome.err};
    Fd *streams[] = {nullptr, &out.read, &err.read};
    pollfd watched[] = {{server.fd.get(), POLLIN, 0},
                        {out.read.get(), POLLIN, 0},
                        {err.read.get(), POLLIN, 0},
                        {twin ? twin->fd.get() : -1, POLLIN, 0}};
    using steady = std::chrono::steady_clock;
    const auto deadline = steady::now() + script.deadline;
    constexpr auto k_tick = std::chrono::milliseconds(100);
    auto next_tick = steady::time_point::max(); // from the first request on, if ticking
    std::array<ServerEnd, 2> ends{{{outcome.requests, outcome.probes,
                                    {pid, server, {}, 0, &outcome.out}, {}},
                                   {outcome.twin_requests, outcome.probes,
                                    {pid, twin ? *twin : server, {}, 0, &outcome.out}, {}}}};
    Scene &scene = ends[0].scene; // what the hooks act on
    while (out.read.get() >= 0 || err.read.get() >= 0) {
        if (steady::now() >= next_tick) {
            ++scene.ticks;
            script.every_tick(scene);
            next_tick += k_tick;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            std::min(deadline, next_tick) - steady::now());
        if (steady::now() >= deadline ||
            poll(watched, 4, static_cast<int>(std::max<long>(left.count(), 0))) < 0)
            break;
        if (watched[0].revents != 0 && serve(ends[0], script) && script.every_tick &&
            outcome.requests.size() == 1)
            next_tick = steady::now() + k_tick;
        if (watched[3].revents != 0) serve(ends[1], script);
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
            if (i == 1 && script.console) { // a fresh prompt: the next keys
                const std::size_t line = outcome.out.rfind('\n') + 1;
                const bool fresh = outcome.out.ends_with("> ") && line != prompted_at &&
                                   outcome.out.find('\r', line) == std::string::npos;
                if (said < script.dialogue.size() && fresh) {
                    prompted_at = line; // a prompt drawn again on its line is the same one
                    wait_for_editing(in.write, deadline);
                    write_all(in.write, script.dialogue[said++]);
                }
            } else if (i == 1 && in.write.get() >= 0) { // standard output grew: the next piece
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
    outcome.status = WIFEXITED(status)     ? WEXITSTATUS(status)
                     : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                           : -1;
    sockaddr_in6 peer{};
    while (take_request(server.fd.get(), outcome.requests, peer) ||
           (twin && take_request(twin->fd.get(), outcome.twin_requests, peer))) {
        // sent just before the end: counted, not answered
    }
    return outcome;
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

TEST_P(Telk, Run)
{
    const Case &c = GetParam();
    const FakeServer server(c.server_port, c.ipv6);
    if (server.fd.get() < 0 && c.ipv6 && server.error != EADDRINUSE)
        GTEST_SKIP() << "no IPv6 loopback here: " << std::strerror(server.error);
    if (server.fd.get() < 0)
        GTEST_SKIP() << "port " << c.server_port << " cannot be had here: "
                     << std::strerror(server.error);
    if (c.script.max_files > 0 && TELK_SANITIZED)
        GTEST_SKIP() << "the sanitizers' runtime cannot start under a limit of open files";
    const int family = c.ipv6 ? AF_INET6 : AF_INET;
    const int icmp = c.ipv6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);
    if (c.script.forges_icmp && Fd(socket(family, SOCK_RAW, icmp)).get() < 0)
        GTEST_SKIP() << "forging ICMP errors needs a raw socket (root): " << std::strerror(errno);
    expect_outcome(c, run_telk(server, c.script));
}

namespace {

/// Whether `c` runs against its server alone, with commands from its command line.
bool runs_in_faces(const Case &c)
{
    const Script &s = c.script;
    return !c.ipv6 && c.server_port == 0 && !s.before_reply && !s.on_output && !s.every_tick &&
           s.input.empty() && s.dialogue.empty() && !s.terminal_output && !s.terminal_error &&
           !s.console &&
           !s.terminal_input && !s.output_file && !s.input_file && s.closed_fd < 0 &&
           s.max_files == 0 && s.env.empty() && !s.file &&
           std::count(s.args.begin(), s.args.end(), k_at) == 1;
}

/// `args` with `face` in front, and the target `k_at` made `target`.
Strings face_args(Strings args, const std::string &face, const std::string &target)
{
    std::replace(args.begin(), args.end(), k_at, target);
    args.insert(args.begin(), face);
    return args;
}

/// `text` with "127.0.0.N:P" of the run's `port` made "{at}".
std::string unported(std::string text, int port)
{
    for (const std::string host : {"127.0.0.1:", "127.0.0.2:"}) {
        const std::string at = host + std::to_string(port);
        for (auto found = text.find(at); found != std::string::npos; found = text.find(at))
            text.replace(found, at.size(), "{at}");
    }
    return text;
}

/// The lines of `text` behind `label` and ": ", without it, each with its newline; with
/// `messages`, also those behind no label of the run's (said before it began).
std::string behind(const std::string &text, const std::string &label, bool messages)
{
    std::string lines;
    const std::string prefix = label + ": ";
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (messages && !line.starts_with("127.0.0.")) lines += line + "\n";
        if (!line.starts_with(prefix)) continue;
        lines += line.substr(prefix.size()) + "\n";
    }
    return lines;
}

/// The "text" of each JSON object in `out`, as it stands there (escaped), one after another.
std::string json_texts(const std::string &out)
{
    std::string texts;
    const std::string key = "\"text\":\"";
    for (auto at = out.find(key); at != std::string::npos; at = out.find(key, at)) {
        at += key.size();
        for (; at < out.size() && out[at] != '"'; ++at) {
            if (out[at] == '\\') texts += out[at++];
            texts += out[at];
        }
    }
    return texts;
}

/// `text` as a JSON string says it, without its quotes.
std::string json_escaped(const std::string &text)
{
    text_buffer escaped;
    append_json_string(escaped, text);
    return std::string(escaped.data() + 1, escaped.size() - 2);
}

/// Whether two runs sent the same datagrams: byte for byte, or, where a request is signed
/// or hashed by the time, as long and alike in its opening.
bool same_wire(const Strings &a, const Strings &b)
{
    constexpr std::size_t k_unsigned_opening = 9; // the header, and "rcon " or "srcon"
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].size() != b[i].size() ||
            a[i].compare(0, k_unsigned_opening, b[i], 0, k_unsigned_opening) != 0)
            return false;
    return true;
}

} // namespace

TEST_P(Faces, Agree)
{
    const Case &c = GetParam();
    if (!runs_in_faces(c)) GTEST_SKIP() << "its server acts by hooks, or it reads input";
    Script one = c.script;
    one.args.insert(one.args.begin(), "-c");
    const FakeServer alone(0);
    const Outcome single = run_telk(alone, one);
    const std::string text = single.out;
    const std::string messages = unported(single.err, alone.port);

    const FakeServer json_server(0);
    Script json = one;
    json.args = face_args(one.args, "-j", k_at);
    const Outcome j = run_telk(json_server, json);
    const std::string label = "127.0.0.1:" + std::to_string(json_server.port);
    EXPECT_EQ(j.status, single.status) << "-j";
    EXPECT_EQ(json_texts(j.out), json_escaped(text)) << "-j";
    // a list names a failed server once, at the end, with its cause
    const std::string cause = unported(behind(j.err, label, true), json_server.port);
    EXPECT_EQ(cause.empty(), messages.empty()) << "-j: " << cause;
    if (single.status != 0) {
        EXPECT_EQ(std::count(cause.begin(), cause.end(), '\n'), 1) << cause;
    }
    EXPECT_TRUE(same_wire(j.requests, single.requests)) << "-j";

    const FakeServer first(0), twin(first.port, false, INADDR_LOOPBACK + 1);
    if (twin.fd.get() < 0) GTEST_SKIP() << "127.0.0.2:" << first.port << " cannot be had";
    Script list = one;
    list.args = face_args(one.args, "-c", k_at + ",127.0.0.2:{port}");
    list.args.erase(list.args.begin()); // one -c is enough
    const Outcome l = run_telk(first, list, &twin);
    EXPECT_EQ(l.status, single.status) << "list";
    for (const std::string host : {"127.0.0.1:", "127.0.0.2:"}) {
        const std::string at = host + std::to_string(first.port);
        EXPECT_EQ(behind(l.out, at, false), text) << at;
        EXPECT_EQ(unported(behind(l.err, at, true), first.port), cause) << at;
    }
    EXPECT_TRUE(same_wire(l.requests, single.requests)) << "list";
    EXPECT_TRUE(same_wire(l.twin_requests, single.requests)) << "list's twin";
}

void expect_outcome(const Case &c, const Outcome &outcome)
{
    if (c.check_requests)
        c.check_requests(outcome.requests);
    else
        EXPECT_EQ(outcome.requests, c.requests) << c.name;
    EXPECT_THAT(outcome.out, c.out) << c.name;
    EXPECT_THAT(outcome.err, c.err) << c.name;
    EXPECT_EQ(outcome.status, c.status) << c.name;
}

std::string case_name(const testing::TestParamInfo<Case> &info) { return info.param.name; }

void stop_telk(const Scene &scene)
{
    kill(scene.pid, SIGSTOP);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(scene.pid), &info, WSTOPPED | WEXITED | WNOWAIT);
}

void stop_and_continue(const Scene &scene)
{
    stop_telk(scene);
    kill(scene.pid, SIGCONT);
}

Hook at_reply_end(Hook hook)
{
    return [hook](const Scene &scene) {
        if (scene.out->ends_with("\n\n")) hook(scene);
    };
}

Hook at_tick(int tick, Hook hook)
{
    return [tick, hook](const Scene &scene) {
        if (scene.ticks == tick) hook(scene);
    };
}

Hook sends(const std::string &datagram)
{
    return [datagram](const Scene &scene) { send_to_telk(scene, datagram); };
}

Hook forges(std::uint8_t type, std::uint8_t code, int port_offset)
{
    return [=](const Scene &scene) {
        udphdr udp{};
        udp.source = scene.telk.sin6_port; // where sin_port is, too
        udp.dest = htons(static_cast<std::uint16_t>(scene.server.port + port_offset));
        udp.len = htons(sizeof udp);
        if (scene.server.v6)
            forge_icmp6(type, code, udp);
        else
            forge_icmp(type, code, udp);
    };
}

FakeFleet::FakeFleet(int size, Answer respond)
    : requests(static_cast<std::size_t>(size)), respond_(std::move(respond))
{
    for (int i = 0; i < size; ++i) {
        FakeServer server(0);
        ports.push_back(server.port);
        socks_.push_back(std::move(server.fd));
    }
    Pipe stop = make_pipe();
    stop_read_ = std::move(stop.read);
    stop_write_ = std::move(stop.write);
    server_ = std::thread([this] {
        std::vector<pollfd> watched;
        for (const Fd &sock : socks_)
            watched.push_back({sock.get(), POLLIN, 0});
        watched.push_back({stop_read_.get(), POLLIN, 0});
        while (poll(watched.data(), watched.size(), -1) > 0 && watched.back().revents == 0) {
            for (std::size_t i = 0; i + 1 < watched.size(); ++i) {
                sockaddr_in6 from{};
                if (watched[i].revents == 0) continue;
                while (take_request(watched[i].fd, requests[i], from))
                    for (const std::string &datagram :
                         respond_(static_cast<int>(i), requests[i].back()))
                        sendto(watched[i].fd, datagram.data(), datagram.size(), 0,
                               reinterpret_cast<const sockaddr *>(&from), sizeof(sockaddr_in));
            }
        }
    });
}

void FakeFleet::stop()
{
    if (!server_.joinable()) return;
    stop_write_.reset();
    server_.join();
}

FakeFleet::~FakeFleet() { stop(); }

std::string FakeFleet::list() const
{
    std::string text;
    for (const int port : ports)
        text.append(text.empty() ? "" : ",").append("127.0.0.1:").append(std::to_string(port));
    return text;
}

Strings split_lines(const std::string &text)
{
    Strings lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

Strings sorted_lines(const std::string &text)
{
    Strings lines = split_lines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace telk_test
