// Measures what telk costs beyond the network on this machine, each figure beside its floor:
// a bare sendto/recvfrom loop against the same server, or a program that only starts and
// exits. Every figure is the median of several runs, telk's and the floor's interleaved so
// that drift of the machine cancels out. Every run must exit 0 having made the exchanges it
// was given, counted at the server, or its figure fails.
//
//   telk-bench [program]     program: what to measure in telk's place (default: the built telk)
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <queue>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;

const std::string k_header = "\xff\xff\xff\xff";
const std::string k_password = "pw";
constexpr int k_exchanges = 20000;
constexpr int k_large_exchanges = 5000;
constexpr int k_quiet_exchanges = 500;
const std::string k_quiet = "0.001"; // -q's least quiet time, in seconds
constexpr double k_quiet_us = 1000;
const std::string k_default_quiet = "0.1"; // telk's quiet time without -q
constexpr int k_default_exchanges = 20;
constexpr int k_startups = 200;
/// The piped runs counted under callgrind: the difference between them is what the
/// exchanges cost, without the start-up.
constexpr std::array<int, 2> k_counted_exchanges{1000, 5000};
constexpr int k_rounds = 9;
constexpr std::size_t k_small_reply = 20;
constexpr std::size_t k_large_reply = 32768; // fills telk's reply buffer
constexpr int k_server_idle_seconds = 60;

/// What a figure may be: a multiple of its floor, or at most a number of its own.
struct Budget {
    enum Kind { none, at_most, at_least, exactly, at_most_number } kind;
    double limit;
};

struct Figure {
    const char *name;
    const char *floor; // what the floor column holds
    Budget budget;
    const char *note; // why a figure has no budget
};

enum FigureId {
    piped,
    large,
    large_receiving,
    startup,
    startup_kept,
    private_memory,
    peak_memory,
    sendto_calls,
    recvfrom_calls,
    all_calls,
    quiet_time,
    quiet_calls,
    default_time,
    fleet_wall,
    fleet_cpu,
    fleet_cpu_per_exchange,
    large_fleet_cpu_per_exchange,
    instructions,
    figure_count
};

/// Every figure and its budget, in the order printed; bench/README.md's table says the same.
constexpr std::array<Figure, figure_count> k_figures{{
    {"piped throughput, us/exchange", "floor", {Budget::at_most, 1.10}, ""},
    {"large replies, MB/s", "writing floor", {Budget::at_least, 0.90}, ""},
    {"large replies, MB/s", "receiving floor", {Budget::none, 0}, "the floor writes nothing"},
    {"start-up, ms", "client floor", {Budget::at_most, 1.05}, ""},
    {"start-up, allowance kept, ms", "client floor", {Budget::at_most, 1.05}, ""},
    {"private resident memory, KiB", "empty", {Budget::at_most, 1.15}, ""},
    {"peak resident memory, KiB", "empty", {Budget::none, 0}, "counts shared C library pages"},
    {"sendto per exchange", "bare loop", {Budget::exactly, 1}, ""},
    {"recvfrom per exchange", "bare loop", {Budget::exactly, 1}, ""},
    {"system calls per exchange", "bare loop", {Budget::at_most, 1.01}, ""},
    {"-q 0.001: us/exchange over quiet", "floor", {Budget::none, 0}, "the quiet time is policy"},
    {"-q 0.001: system calls/exchange",
     "bare loop",
     {Budget::none, 0},
     "a ppoll a datagram, a look for late pieces"},
    {"default: us/exchange", "floor", {Budget::none, 0}, "0.1 s quiet time is policy"},
    {"fleet of 1000: wall s", "xargs -P 64", {Budget::at_most_number, 0.4}, ""},
    {"fleet of 1000: processor s", "xargs -P 64", {Budget::none, 0}, "the floor is 1000 runs"},
    {"fleet: processor us/exchange", "one server", {Budget::at_most, 1.5}, ""},
    {"fleet of 15000: processor us/exch.", "fleet of 1000", {Budget::at_most, 1.3}, ""},
    {"piped: user instructions/exchange", "bare loop", {Budget::at_most_number, 600}, ""},
}};

bool within(const Budget &budget, double value, double ratio)
{
    switch (budget.kind) {
    case Budget::at_most:
        return ratio <= budget.limit;
    case Budget::at_least:
        return ratio >= budget.limit;
    case Budget::exactly:
        return ratio == budget.limit;
    case Budget::at_most_number:
        return value <= budget.limit;
    case Budget::none:
        break;
    }
    return true;
}

std::string label(const Figure &figure)
{
    static const char *const signs[] = {"", "<=", ">=", "=", "<="};
    if (figure.budget.kind == Budget::none) return "none";
    std::array<char, 48> text;
    if (figure.budget.kind == Budget::at_most_number)
        std::snprintf(text.data(), text.size(), "%s %g", signs[figure.budget.kind],
                      figure.budget.limit);
    else
        std::snprintf(text.data(), text.size(), "%s %.2fx %s", signs[figure.budget.kind],
                      figure.budget.limit, figure.floor);
    return text.data();
}

/// A figure as measured: telk's median, the floor's, and why it cannot count, if it cannot.
struct Measured {
    double telk = 0;
    double floor = 0;
    std::string fault;
};

/// Prints `figure`'s row; returns 1 when it is over its budget or its runs were faulty.
int report(FigureId id, const Measured &m)
{
    const Figure &figure = k_figures[id];
    const double ratio = m.floor != 0 ? m.telk / m.floor : 0;
    const bool pass = m.fault.empty() && within(figure.budget, m.telk, ratio);
    std::string result = pass ? "PASS" : "FAIL";
    if (!m.fault.empty()) result += ": " + m.fault;
    if (pass && figure.budget.kind == Budget::none) result = figure.note;
    std::printf("%-34s %12.3f %12.3f %7.3f   %-22s %s\n", figure.name, m.telk, m.floor, ratio,
                label(figure).c_str(), result.c_str());
    return pass ? 0 : 1;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "telk-bench: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<in_port_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

/// A count in memory that a server's process shares with the benchmark.
std::atomic<long> *shared_counter()
{
    void *shared = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) die("shared counter");
    return new (shared) std::atomic<long>(0);
}

/// The answering server, in a child process, and the count of requests it answered, in
/// memory it shares with the benchmark.
struct Server {
    pid_t pid = -1;
    int port = 0;
    std::atomic<long> *answered = nullptr;
};

/// Answers "big" with a reply that fills telk's buffer and anything else with 20 bytes,
/// at once, until nothing has come for a while.
void serve(int sock, std::atomic<long> &answered)
{
    const std::string small = k_header + std::string(k_small_reply - 5, 's') + "\n";
    const std::string large = k_header + std::string(k_large_reply - 5, 'l') + "\n";
    static std::array<char, 65536> request;
    for (;;) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const ssize_t got = recvfrom(sock, request.data(), request.size(), 0,
                                     reinterpret_cast<sockaddr *>(&peer), &size);
        if (got < 0) return;
        const bool big =
            std::string_view(request.data(), static_cast<std::size_t>(got)).ends_with(" big");
        const std::string &reply = big ? large : small;
        ++answered; // before the reply, so that the count is whole once the client is done
        sendto(sock, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&peer), size);
    }
}

Server start_server()
{
    Server server;
    server.answered = shared_counter();
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self = loopback(0);
    socklen_t size = sizeof self;
    const timeval idle{k_server_idle_seconds, 0};
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&self), size) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr *>(&self), &size) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle) != 0)
        die("server socket");
    server.port = ntohs(self.sin_port);
    server.pid = fork();
    if (server.pid < 0) die("fork");
    if (server.pid == 0) {
        serve(sock, *server.answered);
        _exit(0);
    }
    close(sock);
    return server;
}

std::vector<char *> c_args(const Strings &argv)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    return args;
}

/// A pipe that already holds all of `input`, so that its producer's work is not counted.
/// Returns its read end.
int filled_pipe(const std::string &input)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) die("pipe");
    if (!input.empty() && fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(input.size())) < 0)
        die("a pipe that holds the whole input (see /proc/sys/fs/pipe-max-size)");
    for (std::size_t done = 0; done < input.size();) {
        const ssize_t wrote = write(ends[1], input.data() + done, input.size() - done);
        if (wrote <= 0) die("filling the input pipe");
        done += static_cast<std::size_t>(wrote);
    }
    close(ends[1]);
    return ends[0];
}

/// One measured run: how long it took, and whether it exited 0 having made `exchanges`.
struct Run {
    double seconds;
    std::string fault;
};

/// Wall and processor seconds of `argv` with `input`, and whether it exited 0.
struct Timed {
    double wall, cpu;
    bool exited_0;
};

Timed time_run(const Strings &argv, const std::string &input)
{
    const int in = filled_pipe(input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char *> args = c_args(argv);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int status = -1;
    rusage usage{};
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0)
        wait4(pid, &status, 0, &usage);
    const double wall = seconds_since(start);
    close(in);
    posix_spawn_file_actions_destroy(&actions);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return {wall, seconds(usage.ru_utime) + seconds(usage.ru_stime),
            WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

/// Runs `argv` with `input` piped to it and its output thrown away, expecting `exchanges`
/// answers from `server`.
Run run(const Server &server, const Strings &argv, long exchanges, const std::string &input = "")
{
    server.answered->store(0);
    const Timed timed = time_run(argv, input);
    const long answered = server.answered->load();
    if (!timed.exited_0) return {timed.wall, argv[0] + " did not exit 0"};
    if (exchanges >= 0 && answered != exchanges)
        return {timed.wall,
                std::to_string(answered) + " of " + std::to_string(exchanges) + " exchanges"};
    return {timed.wall, ""};
}

/// A run of a floor: its command line and the exchanges it makes (-1: none to count).
struct FloorRun {
    Strings argv;
    long exchanges;
};

/// Where telk keeps the servers' allowance across runs.
std::string allowance_file()
{
    return std::string(std::getenv("XDG_RUNTIME_DIR")) + "/telk/allowance";
}

/// Lets go of the allowance that earlier runs kept: a round of runs that a user would make
/// seconds apart would be paced by the servers' allowance, which is no cost of telk's.
void forget_allowance() { std::remove(allowance_file().c_str()); }

/// Leaves the allowance of the server at `port` as a loop's earlier run leaves it, long
/// enough ago that its bucket is empty: what each run of a loop finds.
void settle_allowance(int port)
{
    mkdir((std::string(std::getenv("XDG_RUNTIME_DIR")) + "/telk").c_str(), S_IRWXU);
    std::ofstream(allowance_file()) << "telk allowance 1\n127.0.0.1:" << port << " 1 0 1 1\n";
    chmod(allowance_file().c_str(), S_IRUSR | S_IWUSR); // telk trusts no file others may read
}

/// Runs telk with `input` and the floor `rounds` times each, interleaved, and takes the
/// median of `figure(seconds)` for each.
template <typename Scale>
Measured interleaved(const Server &server, const Strings &telk, const std::string &input,
                     long exchanges, const FloorRun &floor, int rounds, Scale figure)
{
    std::vector<double> telks, floors;
    Measured m;
    for (int round = 0; round < rounds; ++round) {
        settle_allowance(server.port);
        const Run mine = run(server, telk, exchanges, input);
        const Run base = run(server, floor.argv, floor.exchanges);
        if (m.fault.empty()) m.fault = !mine.fault.empty() ? mine.fault : base.fault;
        telks.push_back(figure(mine.seconds));
        floors.push_back(figure(base.seconds));
    }
    m.telk = median(telks);
    m.floor = median(floors);
    return m;
}

std::string lines(const std::string &command, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += command + "\n";
    return text;
}

/// What every figure runs against: the server, telk's command line and the floors'.
struct Bench {
    Server server;
    Strings telk; // program, -q 0, -i 0, target, password: interactive
    FloorRun floor(const char *command, int count, bool write = false) const
    {
        Strings argv{FLOOR_PATH, std::to_string(server.port), k_password, command,
                     std::to_string(count)};
        if (write) argv.push_back("write");
        return {argv, count};
    }
};

Measured measure_piped(const Bench &b)
{
    return interleaved(b.server, b.telk, lines("status", k_exchanges), k_exchanges,
                       b.floor("status", k_exchanges), k_rounds,
                       [](double seconds) { return seconds * 1e6 / k_exchanges; });
}

Measured measure_large(const Bench &b, bool floor_writes)
{
    const double text_mb = double(k_large_exchanges) * (k_large_reply - 4) / 1e6;
    return interleaved(b.server, b.telk, lines("big", k_large_exchanges), k_large_exchanges,
                       b.floor("big", k_large_exchanges, floor_writes), k_rounds,
                       [text_mb](double seconds) { return text_mb / seconds; });
}

/// A single-command run beside the least that any client must do for it: start, open a
/// socket, make the one exchange and write the reply. (Beside an empty program, the figure
/// would mostly tell what page faults cost on the machine: that work takes a dozen of them.)
Measured measure_startup(const Bench &b)
{
    Strings single = b.telk;
    single.push_back("status");
    return interleaved(b.server, single, "", 1, b.floor("status", 1, true), k_startups,
                       [](double seconds) { return seconds * 1e3; });
}

/// The same without -i 0: the server's allowance read from its state and written back.
Measured measure_startup_kept(const Bench &b)
{
    Strings single = b.telk;
    single.erase(single.begin() + 3, single.begin() + 5); // -i 0
    single.push_back("status");
    return interleaved(b.server, single, "", 1, b.floor("status", 1, true), k_startups,
                       [](double seconds) { return seconds * 1e3; });
}


/// telk's command line collecting each reply until quiet for `seconds`.
Strings collecting(const Bench &b, const std::string &seconds = k_quiet)
{
    Strings quiet = b.telk;
    quiet[2] = seconds; // -q's value
    return quiet;
}

Measured measure_quiet_time(const Bench &b)
{
    Measured m = interleaved(b.server, collecting(b), lines("status", k_quiet_exchanges),
                             k_quiet_exchanges, b.floor("status", k_quiet_exchanges), k_rounds,
                             [](double seconds) { return seconds * 1e6 / k_quiet_exchanges; });
    m.telk -= k_quiet_us; // what telk costs on top of waiting out the quiet time
    return m;
}

/// A one-datagram exchange as telk makes it without options: the reply collected until the
/// server has been quiet for the default 0.1 s.
Measured measure_default_time(const Bench &b)
{
    return interleaved(b.server, collecting(b, k_default_quiet),
                       lines("status", k_default_exchanges), k_default_exchanges,
                       b.floor("status", k_default_exchanges), k_rounds,
                       [](double seconds) { return seconds * 1e6 / k_default_exchanges; });
}

/// The fleet's servers: how many, and the longest any waits before it answers; and how many
/// in the large fleet, which must cost no more an exchange (its fake fits under a limit of
/// 20,000 open files).
constexpr int k_fleet_size = 1000;
constexpr int k_large_fleet_size = 15000;
constexpr int k_fleet_rounds = 3;
constexpr int k_fleet_idle_seconds = 60;
constexpr int k_one_server_exchanges = 20;

/// A fleet of servers in a child process, one socket each on 127.0.0.1, each answering every
/// request with 20 bytes after a random delay up to 200 ms, until nothing has come for
/// a while; counts what it answered, in memory shared with the benchmark.
struct Fleet {
    pid_t pid = -1;
    std::vector<int> ports;
    std::atomic<long> *answered = nullptr;
};

/// Serves `socks` as Fleet says.
[[noreturn]] void serve_fleet(const std::vector<int> &socks, std::atomic<long> &answered)
{
    using clock = std::chrono::steady_clock;
    struct Due {
        clock::time_point at;
        int sock;
        sockaddr_in peer;
        bool question = false; // telk asking a server silent past half a second why
        bool operator<(const Due &other) const { return at > other.at; } // the soonest on top
    };
    // a heap: sorting every turn cost the large fleet's server more than telk its whole run
    std::priority_queue<Due> due;
    std::vector<pollfd> watched;
    for (const int sock : socks)
        watched.push_back({sock, POLLIN, 0});
    const std::string reply = k_header + std::string(k_small_reply - 5, 's') + "\n";
    unsigned seed = 1;
    auto last = clock::now();
    // killed once measured; idle this long only if the benchmark went away meanwhile
    while (clock::now() - last < std::chrono::seconds(k_fleet_idle_seconds)) {
        while (!due.empty() && due.top().at <= clock::now()) {
            if (!due.top().question) ++answered; // exchanges, not answers to the question
            sendto(due.top().sock, reply.data(), reply.size(), 0,
                   reinterpret_cast<const sockaddr *>(&due.top().peer), sizeof(sockaddr_in));
            due.pop();
        }
        const auto wait = due.empty() ? std::chrono::milliseconds(100)
                                      : std::chrono::ceil<std::chrono::milliseconds>(
                                            due.top().at - clock::now());
        if (poll(watched.data(), watched.size(), static_cast<int>(std::max<long>(wait.count(), 0))) <= 0)
            continue;
        last = clock::now();
        for (const pollfd &ready : watched) {
            std::array<char, 2048> request;
            Due next{{}, ready.fd, {}};
            socklen_t size = sizeof next.peer;
            for (ssize_t got = 0;
                 (ready.revents & POLLIN) != 0 &&
                 (got = recvfrom(ready.fd, request.data(), request.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&next.peer), &size)) >= 0;) {
                next.question = std::string_view(request.data(), static_cast<std::size_t>(got))
                                    .ends_with("getchallenge");
                seed = seed * 1103515245 + 12345;
                next.at = clock::now() + std::chrono::microseconds((seed >> 8) % 200000);
                due.push(next);
            }
        }
    }
    _exit(0);
}

Fleet start_fleet(int size)
{
    Fleet fleet;
    fleet.answered = shared_counter();
    std::vector<int> socks;
    for (int i = 0; i < size; ++i) {
        const int sock = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in self = loopback(0);
        socklen_t size = sizeof self;
        if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&self), size) != 0 ||
            getsockname(sock, reinterpret_cast<sockaddr *>(&self), &size) != 0)
            die("fleet socket (is the limit of open files below the fleet's size?)");
        socks.push_back(sock);
        fleet.ports.push_back(ntohs(self.sin_port));
    }
    fleet.pid = fork();
    if (fleet.pid < 0) die("fork");
    if (fleet.pid == 0) serve_fleet(socks, *fleet.answered);
    for (const int sock : socks)
        close(sock);
    return fleet;
}


/// The fleet in one run of telk, beside xargs -P 64 of one-server runs: wall and processor
/// seconds; and telk's processor time an exchange beside a one-server run's. (A one-server run
/// that fails still counts for the floor: the floor is what such a run costs.)
std::array<Measured, 3> measure_fleet(const Bench &b, const std::string &program)
{
    const Fleet fleet = start_fleet(k_fleet_size);
    std::string list, targets;
    for (const int port : fleet.ports) {
        const std::string target = "127.0.0.1:" + std::to_string(port);
        list += (list.empty() ? "" : ",") + target;
        targets += target + "\n";
    }
    std::vector<double> wall, wall_floor, cpu, cpu_floor, one;
    std::string fault;
    for (int round = 0; round < k_fleet_rounds; ++round) {
        fleet.answered->store(0);
        forget_allowance();
        const Timed mine = time_run({program, list, k_password, "status"}, "");
        forget_allowance();
        if (fleet.answered->load() != k_fleet_size || !mine.exited_0) fault = "telk's fleet run failed";
        const Timed theirs = time_run({"/usr/bin/xargs", "-P", "64", "-I", "{}", program, "{}",
                                       k_password, "status"},
                                      targets);
        const Timed single = time_run({program, "127.0.0.1:" + std::to_string(b.server.port),
                                       k_password},
                                      lines("status", k_one_server_exchanges));
        wall.push_back(mine.wall);
        wall_floor.push_back(theirs.wall);
        cpu.push_back(mine.cpu);
        cpu_floor.push_back(theirs.cpu);
        one.push_back(single.cpu * 1e6 / k_one_server_exchanges);
    }
    kill(fleet.pid, SIGTERM);
    waitpid(fleet.pid, nullptr, 0);
    std::vector<double> per_exchange;
    for (const double seconds : cpu)
        per_exchange.push_back(seconds * 1e6 / k_fleet_size);
    return {Measured{median(wall), median(wall_floor), fault},
            Measured{median(cpu), median(cpu_floor), fault},
            Measured{median(per_exchange), median(one), fault}};
}

/// Processor time an exchange of one run of telk against the large fleet, named in a file of
/// targets (a list that long is more than one argument may hold), beside `per_exchange`, the
/// fleet of 1000's.
Measured measure_large_fleet(const std::string &program, double per_exchange)
{
    const Fleet fleet = start_fleet(k_large_fleet_size);
    const std::string file = "/tmp/telk-bench-fleet." + std::to_string(getpid());
    {
        std::ofstream targets(file);
        for (const int port : fleet.ports)
            targets << "127.0.0.1:" << port << "\n";
    }
    std::vector<double> cpu;
    std::string fault;
    for (int round = 0; round < k_fleet_rounds; ++round) {
        fleet.answered->store(0);
        forget_allowance();
        const Timed mine = time_run({program, "@" + file, k_password, "status"}, "");
        if (fleet.answered->load() != k_large_fleet_size || !mine.exited_0)
            fault = "telk's run of the large fleet failed";
        cpu.push_back(mine.cpu * 1e6 / k_large_fleet_size);
    }
    kill(fleet.pid, SIGTERM);
    waitpid(fleet.pid, nullptr, 0);
    std::remove(file.c_str());
    return Measured{median(cpu), per_exchange, fault};
}

struct Memory {
    double peak_kib;    // every resident page at its highest, the C library's shared ones too
    double private_kib; // the process's own pages: heap, stack, data
    bool exited_0;
};

/// Reads the memory of `argv` from /proc as it exits. (A child's rusage would also count the
/// pages of the process that started it, up to its exec.)
Memory memory_of(const Strings &argv)
{
    std::vector<char *> args = c_args(argv);
    const pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0); // stopped at its exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    waitpid(pid, &status, 0); // stopped on its way out, its memory still mapped
    Memory memory{};
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("VmHWM:")) memory.peak_kib = std::stod(line.substr(6));
        if (line.starts_with("RssAnon:")) memory.private_kib = std::stod(line.substr(8));
    }
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    waitpid(pid, &status, 0);
    memory.exited_0 = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return memory;
}

/// {private, peak} memory of a single-command run beside the empty program's.
std::array<Measured, 2> measure_memory(const Bench &b)
{
    Strings single = b.telk;
    single.push_back("status");
    std::vector<double> own, own_floor, peak, peak_floor;
    std::string fault;
    for (int round = 0; round < k_rounds; ++round) {
        b.server.answered->store(0);
        const Memory once = memory_of(single), empty = memory_of({EMPTY_PATH});
        if (!once.exited_0 || b.server.answered->load() != 1)
            fault = single[0] + " did not exit 0 having made its exchange";
        own.push_back(once.private_kib);
        own_floor.push_back(empty.private_kib);
        peak.push_back(once.peak_kib);
        peak_floor.push_back(empty.peak_kib);
    }
    return {Measured{median(own), median(own_floor), fault},
            Measured{median(peak), median(peak_floor), fault}};
}

/// Counts system calls of an interactive run of `exchanges` commands under strace, per
/// exchange: {sendto, recvfrom, all}. Empty when strace is not there.
std::optional<std::array<Measured, 3>> measure_calls(const Bench &b, Strings telk, int exchanges)
{
    const std::string report = "/tmp/telk-bench-strace." + std::to_string(getpid());
    if (access("/usr/bin/strace", X_OK) != 0) return std::nullopt;
    telk.insert(telk.begin(), {"/usr/bin/strace", "-c", "-f", "-o", report});
    const Run traced = run(b.server, telk, exchanges, lines("status", exchanges));
    std::array<double, 3> calls{};
    std::ifstream file(report);
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        Strings words;
        for (std::string word; fields >> word;)
            words.push_back(word);
        if (words.size() < 5 || words[0][0] == '%' || words[0][0] == '-') continue;
        const double count = std::stod(words[3]) / exchanges;
        const std::string &name = words.back();
        if (name == "sendto") calls[0] = count;
        if (name == "recvfrom") calls[1] = count;
        if (name == "total") calls[2] = count;
    }
    std::remove(report.c_str());
    const std::string fault = traced.fault.empty() ? "" : "under strace, " + traced.fault;
    return std::array<Measured, 3>{Measured{calls[0], 1, fault}, Measured{calls[1], 1, fault},
                                   Measured{calls[2], 2, fault}};
}

/// The user-space instructions that `argv` executes with `input` piped in, counted by
/// callgrind, and why the run cannot count, if it cannot.
std::pair<double, std::string> instructions_of(const Bench &b, Strings argv, long exchanges,
                                               const std::string &input)
{
    const std::string counts = "/tmp/telk-bench-callgrind." + std::to_string(getpid());
    argv.insert(argv.begin(),
                {"/usr/bin/valgrind", "-q", "--tool=callgrind", "--callgrind-out-file=" + counts});
    const Run counted = run(b.server, argv, exchanges, input);
    double total = 0;
    std::ifstream file(counts);
    for (std::string line; std::getline(file, line);)
        if (line.starts_with("summary:")) total = std::stod(line.substr(8));
    std::remove(counts.c_str());
    return {total, counted.fault.empty() ? "" : "under callgrind, " + counted.fault};
}

/// User-space instructions per exchange of a piped run, beside the bare loop's: the runs
/// differ only in their number of exchanges, so start-up drops out of the difference.
/// Empty when valgrind is not there.
std::optional<Measured> measure_instructions(const Bench &b)
{
    if (access("/usr/bin/valgrind", X_OK) != 0) return std::nullopt;
    Measured m;
    std::array<double, 2> telk{}, floor{};
    for (std::size_t i = 0; i < k_counted_exchanges.size(); ++i) {
        const int count = k_counted_exchanges[i];
        const auto mine = instructions_of(b, b.telk, count, lines("status", count));
        const auto base = instructions_of(b, b.floor("status", count).argv, count, "");
        telk[i] = mine.first;
        floor[i] = base.first;
        if (m.fault.empty()) m.fault = !mine.second.empty() ? mine.second : base.second;
    }
    const double exchanges = k_counted_exchanges[1] - k_counted_exchanges[0];
    m.telk = (telk[1] - telk[0]) / exchanges;
    m.floor = (floor[1] - floor[0]) / exchanges;
    return m;
}

/// Keeps the benchmark, the server and every telk on one CPU: a wake-up across CPUs costs
/// tens of microseconds here, and varies so much from run to run that it would drown what
/// telk itself costs.
void stay_on_one_cpu()
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);
}

void print_heading()
{
    const std::time_t now = std::time(nullptr);
    std::array<char, 32> date;
    std::strftime(date.data(), date.size(), "%Y-%m-%d", std::localtime(&now));
    std::printf("telk benchmark, %s, nproc %u (every process on one CPU), median of %d runs\n",
                date.data(), std::thread::hardware_concurrency(), k_rounds);
    std::printf("%-34s %12s %12s %7s   %-22s %s\n", "figure (median)", "telk", "floor", "ratio",
                "budget", "result");
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 2) {
        std::fputs("Usage: telk-bench [program]\n", stderr);
        return 2;
    }
    stay_on_one_cpu();
    // the servers' allowance that telk keeps across runs, in a folder of the benchmark's own
    std::string runtime = "/tmp/telk-bench-runtime.XXXXXX";
    if (mkdtemp(runtime.data()) == nullptr) return 2;
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    const std::string program = argc == 2 ? argv[1] : TELK_PATH;
    Bench b{start_server(), {}};
    // -q 0 -i 0: the bare loop, without the quiet time or the pacing that real servers need
    b.telk = {program, "-q", "0", "-i", "0", "127.0.0.1:" + std::to_string(b.server.port),
              k_password};
    print_heading();

    int over = 0;
    over += report(piped, measure_piped(b));
    over += report(large, measure_large(b, true));
    over += report(large_receiving, measure_large(b, false));
    over += report(startup, measure_startup(b));
    over += report(startup_kept, measure_startup_kept(b));
    const auto memory = measure_memory(b);
    over += report(private_memory, memory[0]);
    over += report(peak_memory, memory[1]);
    if (const auto calls = measure_calls(b, b.telk, k_exchanges)) {
        over += report(sendto_calls, (*calls)[0]);
        over += report(recvfrom_calls, (*calls)[1]);
        over += report(all_calls, (*calls)[2]);
    } else {
        std::printf("system calls per exchange: not counted (strace is not installed)\n");
    }
    over += report(quiet_time, measure_quiet_time(b));
    if (const auto calls = measure_calls(b, collecting(b), k_quiet_exchanges))
        over += report(quiet_calls, (*calls)[2]);
    over += report(default_time, measure_default_time(b));
    const auto fleet = measure_fleet(b, program);
    over += report(fleet_wall, fleet[0]);
    over += report(fleet_cpu, fleet[1]);
    over += report(fleet_cpu_per_exchange, fleet[2]);
    over += report(large_fleet_cpu_per_exchange, measure_large_fleet(program, fleet[2].telk));
    if (const auto counted = measure_instructions(b))
        over += report(instructions, *counted);
    else
        std::printf("instructions per exchange: not counted (valgrind is not installed)\n");

    kill(b.server.pid, SIGTERM);
    waitpid(b.server.pid, nullptr, 0);
    std::printf("%s\n", over == 0 ? "all within budget" : "over budget");
    return over == 0 ? 0 : 1;
}
