// Measures what telk costs beyond the network on this machine, each figure beside its floor:
// a bare sendto/recvfrom loop against the same server, or a program that only starts and
// exits. Every figure is the median of several runs, telk's and the floor's interleaved so
// that drift of the machine cancels out.
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;

const std::string k_header = "\xff\xff\xff\xff";
const std::string k_password = "pw";
constexpr int k_exchanges = 20000;
constexpr int k_large_exchanges = 2000;
constexpr int k_startups = 200;
constexpr int k_rounds = 9;
constexpr std::size_t k_small_reply = 20;
constexpr std::size_t k_large_reply = 32768; // fills telk's reply buffer
constexpr int k_server_idle_seconds = 5;

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<in_port_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

/// Answers "big" with a reply that fills telk's buffer and anything else with 20 bytes,
/// at once, until nothing has come for a while.
void serve(int sock)
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
        sendto(sock, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&peer), size);
    }
}

/// Starts the answering server in a child process; returns its pid and port.
std::pair<pid_t, int> start_server()
{
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self = loopback(0);
    socklen_t size = sizeof self;
    const timeval idle{k_server_idle_seconds, 0};
    bind(sock, reinterpret_cast<sockaddr *>(&self), size);
    getsockname(sock, reinterpret_cast<sockaddr *>(&self), &size);
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    const pid_t pid = fork();
    if (pid == 0) {
        serve(sock);
        _exit(0);
    }
    close(sock);
    return {pid, ntohs(self.sin_port)};
}

std::vector<char *> c_args(const Strings &argv)
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    return args;
}

struct Run {
    double seconds;
    int status;
};

/// Runs `argv` with `input` piped to it and its output thrown away. The whole input is in
/// the pipe before the program starts, so that the producer's work is not counted.
Run run(const Strings &argv, const std::string &input = "")
{
    int pipe_ends[2];
    pipe2(pipe_ends, O_CLOEXEC);
    if (fcntl(pipe_ends[1], F_SETPIPE_SZ, static_cast<int>(input.size())) < 0 && !input.empty())
        std::perror("telk-bench: pipe size");
    for (std::size_t done = 0; done < input.size();) {
        const ssize_t wrote = write(pipe_ends[1], input.data() + done, input.size() - done);
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
    }
    close(pipe_ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char *> args = c_args(argv);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    int status = 0;
    waitpid(pid, &status, 0);
    const double elapsed = seconds_since(start);
    close(pipe_ends[0]);
    posix_spawn_file_actions_destroy(&actions);
    return {elapsed, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

struct Memory {
    double peak_kib;    // every resident page at its highest, the C library's shared ones too
    double private_kib; // the process's own pages: heap, stack, data
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
    return memory;
}

std::string lines(const std::string &command, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += command + "\n";
    return text;
}

/// Counts system calls of an interactive run under strace: {sendto, recvfrom, all}, or
/// all zero when strace cannot be run.
std::array<long, 3> count_calls(const Strings &telk, const std::string &input)
{
    const std::string report = "/tmp/telk-bench-strace." + std::to_string(getpid());
    Strings argv{"/usr/bin/strace", "-c", "-f", "-o", report};
    argv.insert(argv.end(), telk.begin(), telk.end());
    std::array<long, 3> calls{};
    if (access(argv[0].c_str(), X_OK) != 0 || run(argv, input).status != 0) return calls;
    std::ifstream file(report);
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        Strings words;
        for (std::string word; fields >> word;)
            words.push_back(word);
        if (words.size() < 5 || words[0][0] == '%' || words[0][0] == '-') continue;
        const long count = std::stol(words[3]);
        const std::string &name = words.back();
        if (name == "sendto") calls[0] = count;
        if (name == "recvfrom") calls[1] = count;
        if (name == "total") calls[2] = count;
    }
    std::remove(report.c_str());
    return calls;
}

int failures = 0;

void row(const char *figure, double telk, double floor, bool pass, const char *budget)
{
    failures += pass ? 0 : 1;
    std::printf("%-34s %12.3f %12.3f %7.3f   %-18s %s\n", figure, telk, floor, telk / floor, budget,
                pass ? "PASS" : "FAIL");
}

void info(const char *figure, double telk, double floor, const char *note)
{
    std::printf("%-34s %12.3f %12.3f %7.3f   (%s)\n", figure, telk, floor, telk / floor, note);
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

} // namespace

int main()
{
    stay_on_one_cpu();
    const auto [server, port] = start_server();
    const Strings telk{TELK_PATH, "127.0.0.1:" + std::to_string(port), k_password};
    const std::string small_input = lines("status", k_exchanges);
    const std::string large_input = lines("big", k_large_exchanges);
    const auto floor = [port = port](const char *command, int count) {
        return Strings{FLOOR_PATH, std::to_string(port), command, std::to_string(count)};
    };

    std::vector<double> piped, piped_floor, large, large_floor;
    for (int round = 0; round < k_rounds; ++round) {
        piped.push_back(run(telk, small_input).seconds * 1e6 / k_exchanges);
        piped_floor.push_back(run(floor("status", k_exchanges)).seconds * 1e6 / k_exchanges);
        const double text_mb = double(k_large_exchanges) * (k_large_reply - 4) / 1e6;
        large.push_back(text_mb / run(telk, large_input).seconds);
        large_floor.push_back(text_mb / run(floor("big", k_large_exchanges)).seconds);
    }

    Strings single = telk;
    single.push_back("status");
    std::vector<double> startup, startup_floor;
    for (int i = 0; i < k_startups; ++i) {
        startup.push_back(run(single).seconds * 1e3);
        startup_floor.push_back(run({EMPTY_PATH}).seconds * 1e3);
    }
    std::vector<double> peak, peak_floor, own, own_floor;
    for (int round = 0; round < k_rounds; ++round) {
        const Memory once = memory_of(single), empty = memory_of({EMPTY_PATH});
        peak.push_back(once.peak_kib);
        peak_floor.push_back(empty.peak_kib);
        own.push_back(once.private_kib);
        own_floor.push_back(empty.private_kib);
    }
    const auto calls = count_calls(telk, small_input);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);

    const std::time_t now = std::time(nullptr);
    std::array<char, 32> date;
    std::strftime(date.data(), date.size(), "%Y-%m-%d", std::localtime(&now));
    std::printf("telk benchmark, %s, nproc %u (every process on one CPU), median of %d runs\n",
                date.data(), std::thread::hardware_concurrency(), k_rounds);
    std::printf("%-34s %12s %12s %7s   %-18s %s\n", "figure (median)", "telk", "floor", "ratio",
                "budget", "result");
    const double piped_median = median(piped), piped_floor_median = median(piped_floor);
    row("piped throughput, us/exchange", piped_median, piped_floor_median,
        piped_median <= 1.10 * piped_floor_median, "<= 1.10x floor");
    const double large_median = median(large), large_floor_median = median(large_floor);
    row("large replies, MB/s", large_median, large_floor_median,
        large_median >= 0.9 * large_floor_median, ">= 0.90x floor");
    const double startup_median = median(startup), startup_floor_median = median(startup_floor);
    row("start-up, ms", startup_median, startup_floor_median,
        startup_median <= 1.15 * startup_floor_median, "<= 1.15x empty");
    const double own_median = median(own), own_floor_median = median(own_floor);
    row("private resident memory, KiB", own_median, own_floor_median,
        own_median <= 1.15 * own_floor_median, "<= 1.15x empty");
    info("peak resident memory, KiB", median(peak), median(peak_floor),
         "no budget: counts shared C library pages, see README");
    if (calls[2] == 0) {
        std::printf("system calls per exchange: not counted (strace is not installed or failed)\n");
    } else {
        row("sendto per exchange", double(calls[0]) / k_exchanges, 1, calls[0] == k_exchanges,
            "exactly 1");
        row("recvfrom per exchange", double(calls[1]) / k_exchanges, 1, calls[1] == k_exchanges,
            "exactly 1");
        row("system calls per exchange", double(calls[2]) / k_exchanges, 2,
            calls[2] <= 2.02 * k_exchanges, "<= 2.02");
    }
    std::printf("%s\n", failures == 0 ? "all within budget" : "over budget");
    return failures == 0 ? 0 : 1;
}
