// One target's round trip, driven by a receive that waits by itself on the socket's bound for
// the first datagram of a command, then by a wait on the socket and the question until the
// round trip's time: two system calls an exchange in the bare loop.
#include "exchange.hpp"
#include "datagrams.hpp"
#include "descriptor.hpp"
#include "output.hpp"
#include "signals.hpp"
#include "silence.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

using std::chrono::microseconds;

/// Holds any UDP datagram whole.
constexpr std::size_t k_datagram_size = 65536;
/// Room on the socket for the datagrams of a long reply that come while telk writes out
/// earlier ones: about 400 of a kilobyte.
constexpr int k_burst_room = 1 << 20;
/// More datagrams than the largest receive buffer the system grants can hold: what was queued
/// when a wait's time had passed is taken, and a flood ends.
constexpr int k_late_reads = 1 << 16;

/// Datagrams received only to be cut, collected or dropped, and the room of a reply read to
/// a newline. Static: on the stack they would make every run's stack pages resident, and a
/// large frame is probed page by page under stack clash protection.
std::array<char, k_datagram_size> scratch;
std::array<char, k_exchange_size> reply_room;

// The small state that every exchange reads and writes is in the data section, on the page
// that loading the program writes anyway: among the large buffers it would take pages of its
// own, each a page fault and 4 KiB for every run.

/// The run's socket, and how its waits go.
struct run_state {
    int sock = -1;
    descriptor question;     // the socket of the question to a silent server
    microseconds first_wait; // how long a receive waits by itself
    bool blocking = false;   // the next receive may wait by itself: the first of a command
    unsigned long continues_then = 0; // how often telk had been continued when it began
    int late_left = 0;                // datagrams that may still be taken after their time
};
[[gnu::section(".data")]] run_state run;

/// The run's one round trip.
[[gnu::section(".data")]] trip one;

/// A datagram taken off the socket while its reply was open and no next command known, still
/// in scratch: the next command's turn tells whether it is that reply's.
struct held_datagram {
    bool held = false;
    std::size_t length = 0;
    instant arrived{};
};
[[gnu::section(".data")]] held_datagram straggler;

bool send_failed(trip &t, int tries)
{
    // again while errors about earlier datagrams were queued, and once without: a failure
    // with no report queued (the socket had no room for it) took the error off itself
    if (now() >= t.deadline) return false;
    return take_errors(run.sock, *t.to).any || tries == 0;
}

bool ask(trip &t)
{
    const int family = t.to->family();
    run.question = descriptor{socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    return run.question.get() >= 0 && ask_question(run.question.get(), *t.to);
}

constexpr trip_io k_io{send_failed, ask, nullptr};

/// Takes the answers to the question that have come.
[[gnu::noinline]] void take_answers(trip &t)
{
    server_family family{};
    for (int left = k_late_reads; left > 0 && take_answer(run.question.get(), family); --left)
        on_answer(t, family, now());
}

/// A datagram received, and when it reached the socket.
struct received {
    ssize_t got;
    instant arrived;
};

/// Receives one datagram into `room` with the time it came, waiting for it when `blocking`.
/// (Out of line, as the functions marked so below: the bare loop never takes this way, and
/// a local whose address goes elsewhere would cost every exchange the stack protector's check.)
[[gnu::noinline]] received receive_with_stamp(std::span<char> room, bool blocking)
{
    received r{};
    r.got = receive_stamped(run.sock, room, blocking, r.arrived);
    return r;
}

/// A receive failed: only an error the system queued that says the target is unreachable
/// counts; one with no report queued (the socket had no room for it) was taken off by it.
[[gnu::noinline]] void receive_failed(trip &t)
{
    const queued_errors queued = take_errors(run.sock, *t.to);
    if (queued.unreachable != 0) on_unreachable(t, queued.unreachable);
}

/// Receives the next datagram of `t` and hands it over, waiting for it on the socket's own
/// bound when `blocking`. The bare loop's receive goes unstamped: what came to a receive that
/// waited for it and was not stopped came in time. Returns whether a datagram came.
[[gnu::always_inline]] inline bool receive(trip &t, bool blocking)
{
    const std::span<char> room = receive_room(t, scratch);
    received r{};
    if (blocking && !collects(t)) {
        r.got = recvfrom(run.sock, room.data(), room.size(), 0, nullptr, nullptr);
        r.arrived = continues() == run.continues_then ? t.sent_at : arrival_of_last(run.sock);
    } else {
        r = receive_with_stamp(room, blocking);
    }
    if (r.got >= 0) {
        on_datagram(t, room.first(static_cast<std::size_t>(r.got)), r.arrived);
        if (t.at == step::idle && t.open)
            straggler = {true, static_cast<std::size_t>(r.got), r.arrived};
        if (collects(t)) flush_out(); // whoever reads sees each datagram's text as it comes
        return true;
    }
    if (errno == EAGAIN || errno == EINTR) return false; // a wait that ended early or was cut
    receive_failed(t);
    return false;
}

/// Sleeps until `until`, through a stop and continue. What was printed is written out first,
/// for whoever waits for it.
void sleep_until(instant until)
{
    flush_out();
    const timespec wake = as_timespec(until);
    while (stop_signal() == 0 &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}

/// Waits until the time of `t` for a datagram or an answer to its question, and hands over
/// what came. Returns true when the time ran out with nothing come. (Out of line, as the
/// functions marked so below: the bare loop never waits this way, and its local array would
/// cost every exchange the stack protector's check.)
[[gnu::noinline]] bool wait_for_event(trip &t)
{
    if (t.at == step::turn && !t.open) {
        sleep_until(t.timer);
        return true;
    }
    std::array<pollfd, 2> watched{{{run.sock, POLLIN, 0}, {run.question.get(), POLLIN, 0}}};
    const auto left = std::chrono::ceil<microseconds>(t.timer - now());
    const timespec limit = as_timespec(std::max(left, microseconds{}));
    const int ready = ppoll(watched.data(), watched.size(), &limit, nullptr);
    if (ready == 0) return true;
    if (ready < 0) return false; // a stop and continue, or told to end
    if (watched[1].revents != 0) take_answers(t);
    if (watched[0].revents != 0) receive(t, false);
    return false;
}

/// Whether the time of `t` having come, the socket is read first: only while a reply may still
/// take what reached it by then.
bool reads_first(const trip &t) { return t.at != step::turn || t.open; }

/// Told to end: what reached the socket in time still counts, but nothing more is waited for.
[[gnu::noinline]] void end_run(trip &t)
{
    for (int left = k_late_reads; left > 0 && busy(t) && receive(t, false); --left) {
    }
    on_end(t);
}

/// The command's first request went: its first receive may wait by itself, and an earlier
/// command's question is no longer this one's (kept open, it would cost every later wait a look).
void sent()
{
    if (run.question.get() >= 0) run.question = descriptor{};
    run.blocking = true;
    run.late_left = k_late_reads;
    run.continues_then = continues();
}

/// Hands `t` its events until its command is done.
void drive(trip &t)
{
    bool waited_out = false; // the last wait ran out of time with nothing come
    while (busy(t)) {
        if (stop_signal() != 0) return end_run(t);
        if (std::exchange(run.blocking, false) && t.timer >= t.sent_at + run.first_wait) {
            waited_out = !receive(t, true) && errno == EAGAIN;
            continue;
        }
        const instant now_at = now();
        if (t.timer > now_at) {
            waited_out = wait_for_event(t);
            continue;
        }
        // What reached the socket by the time still counts, however late telk gets to it.
        if (!std::exchange(waited_out, false) && reads_first(t) && run.late_left > 0) {
            --run.late_left;
            if (receive(t, false)) continue;
        }
        if (run.question.get() >= 0) take_answers(t);
        const bool turn = t.at == step::turn;
        on_time(t, now_at);
        if (turn) sent();
    }
}

} // namespace

int start_exchanges(int sock, const target &to, std::string_view password,
                    const exchange_rules &rules)
{
    one.to = &to;
    one.password = password;
    one.rules = &rules;
    one.io = &k_io;
    one.sock = sock;
    one.room = reply_room;
    start_trip(one);
    run.sock = sock;
    // The first receive that waits this long without a datagram goes on waiting after the
    // server has been asked why.
    const bool early = decisive_family(one.known) != server_family::unknown;
    run.first_wait = question_delay(rules.bound, early);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(run.first_wait);
    const timeval limit{seconds.count(), (run.first_wait - seconds).count()};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        std::perror("Couldn't set UDP socket timeout");
        return 1;
    }
    if (report_errors(sock, to.family()) != 0) {
        std::perror("Couldn't set UDP socket error reporting");
        return 1;
    }
    stamp_arrivals(sock, true);
    // A server sends a long reply's datagrams all at once; the system holds no more of them
    // than this while telk writes out the earlier ones. It caps the size at what it allows,
    // silently, so a failure here loses nothing that telk could have had.
    if (collects(one)) setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &k_burst_room, sizeof k_burst_room);
    return 0;
}

server_state &known_of_target() { return one.known; }

int send_command(std::string_view command)
{
    start_command(one, command, now());
    if (one.at != step::turn) sent();
    if (std::exchange(straggler.held, false))
        on_datagram(one, {scratch.data(), straggler.length}, straggler.arrived);
    drive(one);
    return one.at == step::failed ? 1 : one.status;
}

void end_reply()
{
    straggler.held = false;
    end_open(one);
}

int ask_aside(std::string_view command, text_buffer &reply)
{
    end_reply(); // the last reply is the user's
    one.sink = &reply;
    const std::string_view label = std::exchange(one.label, "aside"); // a label says nothing
    const int status = send_command(command);
    end_reply();
    one.sink = nullptr;
    one.label = label;
    if (one.at == step::failed) one.at = step::idle;
    one.status = 0;
    return status;
}
