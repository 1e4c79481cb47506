// The end-to-end harness: the built telk as a child process against a scripted UDP server on
// loopback (127.0.0.1, or ::1), and what it checks: the datagrams telk sends, its standard
// output, standard error and exit status. Each test file holds tables of cases over it.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <unistd.h>

namespace telk_test {

using namespace std::string_literals;
using testing::Eq;
using testing::StartsWith;
using Strings = std::vector<std::string>;

/// Opens every datagram.
inline const std::string H = "\xff\xff\xff\xff";
/// A first piece of a real server's reply.
inline const std::string k_first = H + "print\n";
inline const std::string k_at = "127.0.0.1:{port}";
inline const std::string k_greeting = "Enter commands.\n\n";
inline const std::string k_usage = "Usage: telk host[:port] password [command1 command2 ...]\n";
/// What an empty datagram, which ends no reply, makes telk say.
inline const std::string k_empty_datagram =
    "Error receiving UDP packet (tried=32768, rc=0): Success\n";
/// What telk says when a server refuses the password.
inline const std::string k_refusal = "The server refused the password\n";
/// What telk says when no reply came in time, nor any answer to its question why.
inline const auto k_unanswered = testing::AllOf(
    StartsWith("Error receiving UDP packet (tried=32768, rc=-1): Connection timed out\nNothing "
               "answers at 127.0.0.1:"),
    testing::EndsWith(": it is down, the port is wrong, a firewall drops the datagrams, or it "
                      "limits requests from this address\n"));
inline const std::string k_no_password_set =
    "The server has no remote-console password set: set one there\n";
/// What a server answers a refused password with, and a request when it has none set.
inline const std::string k_bad_password = "print\nBad rconpassword.\n";
inline const std::string k_no_password = "print\nNo rconpassword set on the server.\n";
/// A bound on a run that must fail at once, far below telk's own 10 seconds.
inline constexpr auto k_at_once = std::chrono::seconds(3);
inline constexpr auto k_deadline = std::chrono::seconds(40); // beyond telk's own 10-second wait

/// The request that sends `command` with `password`.
inline std::string request(const std::string &command, const std::string &password = "pw")
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

/// A folder of the test's own under /tmp, removed with what it holds when it goes.
struct TempFolder {
    std::string path = "/tmp/telk-test.XXXXXX";
    TempFolder() { EXPECT_NE(mkdtemp(path.data()), nullptr); }
    ~TempFolder() { std::filesystem::remove_all(path); }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    /// The environment that has telk keep its servers' allowance there.
    std::string env() const { return "XDG_RUNTIME_DIR=" + path; }
};

/// A UDP socket on 127.0.0.1, or ::1, in the server's place; `fd` stays empty when the port
/// cannot be had.
struct FakeServer {
    Fd fd;
    int port = 0;
    bool v6 = false;
    int error = 0; // why the port could not be had

    /// On `address` (an IPv4 loopback address, in host order) unless `ipv6`.
    explicit FakeServer(int wanted, bool ipv6 = false, std::uint32_t address = INADDR_LOOPBACK);
};

/// What a hook of a script acts on: telk, the server, and the address telk sends from.
struct Scene {
    pid_t pid;
    const FakeServer &server;
    sockaddr_in6 telk;                // a sockaddr_in for a server on 127.0.0.1
    int ticks = 0;                    // how often every_tick has run, this time included
    const std::string *out = nullptr; // telk's standard output so far
    sockaddr_in6 question{};          // where telk asked from why the server is silent,
    int asked_tick = -1;              // at this tick; -1: not asked yet
};
using Hook = std::function<void(const Scene &)>;
using Times = std::vector<std::chrono::steady_clock::time_point>;
/// A server's answer to the last of `requests`, which came at `times`.
using Respond = std::function<Strings(const Strings &requests, const Times &times)>;

/// One run of telk and the server's part in it.
struct Script {
    Strings args;                    // "{port}", "{port+65536}", "{port-65536}" name the server's;
                                     // "{closed}" a loopback port that nothing listens on
    std::optional<std::string> file; // written to a temporary file, which "{file}" names
    std::string input;               // standard input, written at once, then closed
    Strings dialogue;                // instead: standard input a piece at a time, each written once
                                     // standard output has grown, then closed once it grows again
    bool nonblocking_input = false;  // standard input handed over in non-blocking mode
    bool socket_input = false;       // standard input a socket instead of a pipe
    std::vector<Strings> replies;    // replies[i]: the datagrams that answer request i
    Respond respond;                 // instead: the datagrams that answer each request
    Strings probe_answer;            // what answers telk's question why the server is silent
    Hook before_reply;               // runs before each answer
    Hook on_output;                  // runs whenever standard output has grown
    Hook every_tick;                 // runs every 0.1 s from the first request until telk ends
    bool forges_icmp = false;        // a hook needs a raw socket
    const char *input_file = nullptr;  // standard input from there ("{file}": the file's)
    const char *output_file = nullptr; // standard output there instead of a pipe
    bool nonblocking_output = false;   // standard output a non-blocking pipe of one page
    bool terminal_input = false;       // standard input a pseudo-terminal, in raw mode
    bool terminal_output = false;      // standard output a pseudo-terminal, in raw mode
    bool terminal_error = false;       // standard error a pseudo-terminal, in raw mode
    bool console = false; // standard input and output one terminal, as a user's: the dialogue
                          // is keys typed, a piece at each prompt ("> " at the end)
    Strings env;                       // more of telk's environment, NAME=value
    int closed_fd = -1;                // this standard descriptor closed for telk
    int max_files = 0;                 // telk's limit of open descriptors; 0: the tests' own
    int max_memory_mib = 0;            // telk's limit of address space; 0: the tests' own
    std::chrono::seconds deadline = k_deadline;
};

struct Outcome {
    Strings requests;      // every datagram the server got, in order, but for:
    Strings probes;        // those that asked why the server was silent
    Strings twin_requests; // what its twin got, as `requests`
    std::string out, err;
    int status = -1; // as a shell sees it: 128 + the signal that ended telk, if one did
};

/// Runs telk to its end, serving its requests, and those of `twin` alike, with every wait
/// bounded by the deadline.
Outcome run_telk(const FakeServer &server, const Script &script,
                 const FakeServer *twin = nullptr);

/// A run of telk and what must come of it.
struct Case {
    const char *name;
    Script script;
    Strings requests;                                    // what the server must receive, in order
    std::function<void(const Strings &)> check_requests; // instead, for what differs by run
    testing::Matcher<const std::string &> out = testing::IsEmpty();
    testing::Matcher<const std::string &> err = testing::IsEmpty();
    int status = 0;
    int server_port = 0; // 0: any free port
    bool ipv6 = false;   // the server on ::1; skipped where the machine has no IPv6 loopback
};

void PrintTo(const Case &c, std::ostream *os);

/// Runs each case of a table against its own server: INSTANTIATE_TEST_SUITE_P(Table, Telk,
/// testing::ValuesIn(k_table), case_name).
class Telk : public testing::TestWithParam<Case> {};

std::string case_name(const testing::TestParamInfo<Case> &info);

/// Runs each case of a table through three faces, telk's run against one target (with -c),
/// against it with -j, and against a list of it and a twin that behaves as it does, and checks
/// that they agree: the exit status, the text (the JSON objects' and each label's), the
/// messages (behind the label, but for the list's closing line of failures) and the wire.
/// Cases whose server acts by hooks, or that read standard input, are left out.
class Faces : public testing::TestWithParam<Case> {};

/// Checks what came of `c`'s run.
void expect_outcome(const Case &c, const Outcome &outcome);

/// A run that ends with `out` before anything is sent.
inline Case refused(const char *name, Strings args, const std::string &out)
{
    return {.name = name, .script = {.args = std::move(args)}, .out = out, .status = 1};
}

/// A hook that stops telk and, once it has stopped (or ended), lets it go on.
void stop_and_continue(const Scene &scene);

/// A hook that stops telk and returns once it has stopped (or ended).
void stop_telk(const Scene &scene);

/// A hook that runs `hook` when standard output has just ended a reply with an empty line.
Hook at_reply_end(Hook hook);

/// A tick hook that runs `hook` at tick `tick`.
Hook at_tick(int tick, Hook hook);

/// A hook that sends `datagram` to telk.
Hook sends(const std::string &datagram);

/// A hook that forges an ICMP (or, with the server on ::1, ICMPv6) error of `type` and
/// `code`, as a router or the server's host would send it, about a datagram from telk to the
/// server's port plus `port_offset`.
Hook forges(std::uint8_t type, std::uint8_t code, int port_offset = 0);

/// Many UDP sockets on 127.0.0.1 in servers' places, one process and many ports: a thread of
/// the test answers each request to server i with what `respond(i, request)` says, until the
/// fleet goes. `requests[i]` holds what server i got, once the fleet has stopped.
class FakeFleet {
  public:
    using Answer = std::function<Strings(int index, const std::string &request)>;
    FakeFleet(int size, Answer respond);
    ~FakeFleet();
    /// Stops the thread; `requests` is complete then.
    void stop();
    /// The ports, comma-separated as telk takes a list: "127.0.0.1:P0,127.0.0.1:P1,...".
    std::string list() const;
    std::vector<int> ports;
    std::vector<Strings> requests;

  private:
    std::vector<Fd> socks_;
    Answer respond_;
    Fd stop_read_, stop_write_;
    std::thread server_;
};

/// Lines of `text`, in order.
Strings split_lines(const std::string &text);

/// Lines of `text`, sorted: what servers that answer at once print, whatever their order.
Strings sorted_lines(const std::string &text);

} // namespace telk_test
