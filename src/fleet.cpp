// The fleet's loop: one wait over the run's few sockets, each datagram handed to the round trip
// of the server that sent it, and the round trips whose time has come, from a heap, moved on.
#include "fleet.hpp"
#include "allowance.hpp"
#include "datagrams.hpp"
#include "descriptor.hpp"
#include "fleet_output.hpp"
#include "gather.hpp"
#include "output.hpp"
#include "signals.hpp"
#include "silence.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace {

using std::chrono::microseconds;

constexpr std::size_t k_datagram_size = 65536;
/// Room on each socket for the replies of many servers that come at once.
constexpr int k_burst_room = 1 << 22;
constexpr std::size_t k_families = 2; // IPv4 and IPv6: a socket each

/// Which of the run's sockets serves servers of address `family`.
std::size_t family_slot(int family) { return family == AF_INET6 ? 1 : 0; }

/// One server of the run and its round trip.
struct server {
    trip t;
    std::size_t next = 0;            // the next command to go
    instant queued = instant::max(); // its time in the heap, while there
    text_buffer text;                // its reply's text as it came, not yet written out
    text_buffer room;                // its reply read to a newline
    labelled_lines lines;
    std::size_t exchanges_ended = 0;
    bool truncated = false; // text was left out of its JSON object or its gathering
    bool waits = false;     // for standard input to bring a command
    bool done = false;
    bool resolves = true;            // false: each command fails for it at once
    outcome failure = outcome::ok;   // how its first exchange that did not go through ended
};

/// A list that runs longer than this shows a line of progress at a terminal.
constexpr std::chrono::seconds k_progress_after{1};
/// Holds the line of progress: three numbers and its words.
constexpr std::size_t k_progress_size = 80;

/// The line of progress on standard error, when it is a terminal.
struct progress {
    bool wanted = false;
    instant from = instant::max(); // shown from then on
    std::size_t done = 0, failed = 0; // as shown last
};

/// When server `index` wants a look.
struct timer_entry {
    instant when;
    std::size_t index;
};

/// Orders the heap of times, the soonest on top.
bool later(const timer_entry &a, const timer_entry &b) { return a.when > b.when; }

/// The run: its servers, found by address, its sockets, its commands and its times.
struct fleet {
    fleet(std::span<server> all, command_list &sent, const exchange_rules &how, fleet_output out)
        : servers(all), commands(sent), rules(how), output(out)
    {
    }

    std::span<server> servers;
    growable<server *> by_address; // sorted, to tell who sent a datagram
    std::array<descriptor, k_families> socks;
    std::array<descriptor, k_families> questions; // for the questions to silent servers
    command_list &commands;
    const exchange_rules &rules;
    fleet_output output;
    growable<timer_entry> timers;  // a heap
    growable<std::size_t> waiting; // servers that wait for standard input
    growable<std::string_view> labels;
    gathering gathered; // with -b
    std::size_t running = 0; // servers not done
    std::size_t failed = 0;  // servers that failed
    progress shown;
    int status = 0;
};

/// The run, for the hooks of its round trips.
fleet *the_fleet = nullptr;

/// The server whose address and port `from` is, or null.
server *find_sender(fleet &f, const target &from)
{
    const auto found = std::lower_bound(
        f.by_address.items().begin(), f.by_address.items().end(), from,
        [](const server *s, const target &to) { return compare_targets(*s->t.to, to) < 0; });
    if (found == f.by_address.items().end() || compare_targets(*(*found)->t.to, from) != 0)
        return nullptr;
    return *found;
}

/// Puts the time of `s` in the heap, if it has one that is not there yet.
void schedule(fleet &f, server &s)
{
    const instant when = s.t.timer;
    if (when == instant::max() || when == s.queued) return;
    s.queued = when;
    f.timers.push({when, s.t.id});
    std::push_heap(f.timers.data(), f.timers.data() + f.timers.size(), later);
}

/// Ends the part of `s` in the run.
void finish(fleet &f, server &s)
{
    if (std::exchange(s.done, true)) return;
    --f.running;
    if (!f.output.gather) return;
    count_gone(f.gathered, s.exchanges_ended);
    write_gathered(f.gathered, f.commands.size(), false);
}

/// Has `s` wait for standard input to bring a command, if it may. Returns whether it waits.
bool wait_for_input(fleet &f, server &s)
{
    if (f.commands.read_more == nullptr) return false;
    s.waits = true;
    f.waiting.push(s.t.id);
    return true;
}

/// Fails every command that has come for `s`, whose name does not resolve.
[[gnu::cold]] void pass_by(fleet &f, server &s)
{
    while (s.next < f.commands.size()) {
        s.t.command = f.commands[s.next++];
        s.t.io->ended(s.t, outcome::unresolved);
    }
    if (!wait_for_input(f, s)) finish(f, s);
}

/// After an event of `s`: gives it its next command when it is idle, or ends its reply and
/// has it wait for standard input, or ends its part.
void settle(fleet &f, server &s, instant now_at)
{
    trip &t = s.t;
    if (s.done || s.waits) return;
    if (!s.resolves) return pass_by(f, s);
    if (t.at == step::idle && s.next < f.commands.size())
        start_command(t, f.commands[s.next++], now_at);
    if (t.at == step::idle) {
        end_open(t); // no command waits for its turn: the reply is whole now
        if (wait_for_input(f, s)) return;
    }
    if (!busy(t)) return finish(f, s);
    schedule(f, s);
}

/// Writes out what came of the text of `s`: the whole lines behind its label, or, for its JSON
/// object or its gathering, no more than its bound.
void take_text(fleet &f, server &s)
{
    if (f.output.json || f.output.gather) {
        if (s.text.size() <= k_json_text_max) return;
        s.text.resize(k_json_text_max);
        s.truncated = true;
        return;
    }
    const std::size_t written = write_lines(s.lines, view_of(s.text), false);
    if (written == 0) return;
    std::memmove(s.text.data(), s.text.data() + written, s.text.size() - written);
    s.text.resize(s.text.size() - written);
}

/// Takes the errors the system queued on `sock` about datagrams sent to the run's servers, and
/// tells each server of its own, but `sending`, whose error is about an earlier datagram.
/// Keeps errno.
void route_errors(fleet &f, int sock, const trip *sending)
{
    const int saved_errno = errno;
    target about;
    for (int unreachable = 0; take_error(sock, about, unreachable);) {
        server *s = find_sender(f, about);
        if (s == nullptr || unreachable == 0 || &s->t == sending || s->done) continue;
        on_unreachable(s->t, unreachable);
        settle(f, *s, now());
    }
    errno = saved_errno;
}

bool send_failed(trip &t, int /*tries*/)
{
    // an error about a datagram sent earlier, to any server, fails the send: taken off and
    // told to its server, the send goes again
    route_errors(*the_fleet, t.sock, &t);
    return true;
}

bool ask(trip &t)
{
    descriptor &question = the_fleet->questions[family_slot(t.to->family())];
    if (question.get() < 0)
        question =
            descriptor{socket(t.to->family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    return question.get() >= 0 && ask_question(question.get(), *t.to);
}

/// How long the exchange of `t` took, from its first request to its reply's last datagram.
std::chrono::milliseconds time_taken(const trip &t)
{
    if (t.started == instant{}) return {}; // nothing went
    const instant end = t.last_arrival > t.started ? t.last_arrival : now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - t.started);
}

void ended(trip &t, outcome result)
{
    fleet &f = *the_fleet;
    server &s = f.servers[t.id];
    if (result != outcome::ok) f.status = 1;
    if (s.failure == outcome::ok && result != outcome::ok) {
        s.failure = result;
        ++f.failed;
    }
    if (f.output.json) {
        target_text address;
        write_json({.label = t.label,
                    .address = s.resolves ? text_of(*t.to, address) : "",
                    .command = t.command,
                    .result = result,
                    .family = t.known.family,
                    .took = time_taken(t),
                    .text = view_of(s.text),
                    .truncated = s.truncated});
    } else if (f.output.gather) {
        gather(f.gathered, s.exchanges_ended, t.id, view_of(s.text));
    } else {
        write_lines(s.lines, view_of(s.text), true);
        s.lines.started = false;
    }
    ++s.exchanges_ended;
    s.text.clear();
    s.truncated = false;
    if (f.output.gather) write_gathered(f.gathered, f.commands.size(), false);
}

constexpr trip_io k_io{send_failed, ask, ended};

/// Takes what is waiting on `sock`, up to what came after `until`: replies (or, from a
/// question's socket, answers) for their servers, and errors about datagrams sent to them.
void take_waiting(fleet &f, int sock, bool answers, instant until)
{
    static std::array<char, k_datagram_size> datagram;
    for (instant arrived{}; arrived <= until;) {
        target from;
        const ssize_t got = receive_stamped(sock, datagram, false, arrived, &from);
        if (got < 0 && (answers || errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (got < 0) { // an error report: while one is queued, the socket is always ready
            route_errors(f, sock, nullptr);
            continue;
        }
        server *s = find_sender(f, from);
        if (s == nullptr || s->done) continue; // from no one awaited
        const std::span<const char> bytes{datagram.data(), static_cast<std::size_t>(got)};
        if (answers) {
            on_answer(s->t, family_answering({bytes.data(), bytes.size()}), arrived);
        } else {
            on_datagram(s->t, bytes, arrived);
            take_text(f, *s);
        }
        settle(f, *s, now());
    }
}

/// Takes the commands that standard input brought, and gives them to the servers that waited.
void take_input(fleet &f)
{
    if (f.commands.read_more(f.commands) != 0) f.status = 1;
    growable<std::size_t> woken;
    woken.append(f.waiting.items());
    f.waiting.clear();
    const instant now_at = now();
    for (const std::size_t index : woken.items()) {
        server &s = f.servers[index];
        s.waits = false;
        settle(f, s, now_at);
    }
}

/// Moves on every server whose time has come by `now_at`.
void fire_timers(fleet &f, instant now_at)
{
    while (!f.timers.empty() && f.timers[0].when <= now_at) {
        std::pop_heap(f.timers.data(), f.timers.data() + f.timers.size(), later);
        const timer_entry due = f.timers[f.timers.size() - 1];
        f.timers.resize(f.timers.size() - 1);
        server &s = f.servers[due.index];
        if (s.queued != due.when) continue; // its time moved since
        s.queued = instant::max();
        if (s.done) continue;
        if (s.t.timer <= now_at) on_time(s.t, now_at);
        settle(f, s, now_at);
    }
}

/// Waits until the soonest time of the run's servers for what comes on its sockets and, while
/// a server waits for a command, standard input, and takes it.
void wait_for_events(fleet &f)
{
    constexpr std::size_t k_input = 2 * k_families;
    if (f.commands.whole_lines && f.commands.read_more != nullptr &&
        f.waiting.size() == f.running)
        return take_input(f);
    std::array<pollfd, k_input + 1> watched{};
    for (std::size_t i = 0; i < k_families; ++i) {
        watched[i] = {f.socks[i].get(), POLLIN, 0};
        watched[k_families + i] = {f.questions[i].get(), POLLIN, 0};
    }
    const bool wants_input =
        !f.waiting.empty() && f.commands.read_more != nullptr && !f.commands.whole_lines;
    watched[k_input] = {wants_input ? STDIN_FILENO : -1, POLLIN, 0};
    const instant until = std::min(f.timers.empty() ? instant::max() : f.timers[0].when,
                                   status_shown() ? instant::max() : f.shown.from);
    const auto left = std::chrono::ceil<microseconds>(until - now());
    const timespec limit = as_timespec(std::max(left, microseconds{}));
    const int ready =
        ppoll(watched.data(), watched.size(), until == instant::max() ? nullptr : &limit, nullptr);
    if (ready == 0 || stop_signal() != 0) return;
    // Cut short by a stop and continue: what reached the sockets meanwhile counts before any
    // server's time, however late telk gets to it.
    const instant now_at = now();
    for (std::size_t i = 0; i < k_input; ++i)
        if (watched[i].fd >= 0 && (ready < 0 || watched[i].revents != 0))
            take_waiting(f, watched[i].fd, i >= k_families, now_at);
    if (ready > 0 && watched[k_input].revents != 0) take_input(f);
}

/// Shows how far the run is, once it has run a while, when standard error is a terminal.
void show_progress(fleet &f, instant now_at)
{
    progress &p = f.shown;
    if (!p.wanted || now_at < p.from) return;
    const std::size_t done = f.servers.size() - f.running;
    if (status_shown() && done == p.done && f.failed == p.failed) return;
    p.done = done;
    p.failed = f.failed;
    std::array<char, k_progress_size> line;
    const int length = std::snprintf(line.data(), line.size(), "%zu/%zu done, %zu failed", done,
                                     f.servers.size(), f.failed);
    show_status({line.data(), std::min(static_cast<std::size_t>(length), line.size() - 1)});
}

/// Told to end: what reached the sockets in time still counts; then every round trip ends.
void end_all(fleet &f)
{
    const instant now_at = now();
    for (std::size_t i = 0; i < k_families; ++i) {
        if (f.socks[i].get() >= 0) take_waiting(f, f.socks[i].get(), false, now_at);
        if (f.questions[i].get() >= 0) take_waiting(f, f.questions[i].get(), true, now_at);
    }
    for (server &s : f.servers) {
        if (s.done && s.t.at == step::failed) continue;
        on_end(s.t);
        finish(f, s);
    }
}

/// Says on standard error, behind its label, why `s` failed, in plain words.
void report_failure_of(const server &s, const exchange_rules &rules)
{
    const trip &t = s.t;
    label_message(t.label);
    errno = t.error; // where the cause is the system's
    switch (s.failure) {
    case outcome::ok:
        return;
    case outcome::timeout:
        std::fprintf(stderr, "no reply within %g s\n",
                     std::chrono::duration<double>(rules.bound).count());
        return;
    case outcome::unreachable:
        if (t.error == ECONNREFUSED)
            std::fputs("the port is closed (ICMP port unreachable)\n", stderr);
        else
            std::perror("cannot be reached");
        return;
    case outcome::interrupted:
        std::fputs("still waiting for its reply when told to end\n", stderr);
        return;
    case outcome::unresolved:
        std::fputs("does not resolve\n", stderr);
        return;
    case outcome::refused:
    case outcome::error:
        if (t.reason != nullptr)
            std::fprintf(stderr, "%s\n", t.reason);
        else if (t.error != 0)
            std::perror("could not send");
        else
            std::fputs("answered, but not as a server of this protocol does\n", stderr);
    }
}

/// Names each server that failed, or was still waiting when the run was told to end, once.
void report_failures(const fleet &f)
{
    for (const server &s : f.servers)
        if (s.failure != outcome::ok) report_failure_of(s, f.rules);
}

/// Readies server `i` of `f` for `m`. Returns 0, or 1 after reporting that its socket could not
/// be had.
int ready_server(fleet &f, std::size_t i, const member &m, const text_buffer &texts,
                 std::string_view password)
{
    server &s = f.servers[i];
    trip &t = s.t;
    s.resolves = m.resolves;
    t.to = &m.to;
    t.label = label_of(m, texts);
    f.labels.push(t.label);
    t.password = m.own_password ? own_password_of(m, texts) : password;
    t.rules = &f.rules;
    t.io = &k_io;
    t.sink = &s.text;
    t.id = i;
    // A reply read to a newline wants room of its own; else the servers share one for requests.
    static std::array<char, k_exchange_size> shared_room;
    if (!collects(t)) s.room.reserve(k_exchange_size);
    t.room = collects(t) ? std::span<char>{shared_room}
                         : std::span<char>{s.room.data(), k_exchange_size};
    start_trip(t);
    s.lines = {.label = t.label, .clean = f.rules.clean};
    if (!s.resolves) return 0; // no datagram goes to it, or comes from it
    f.by_address.push(&s);
    descriptor &sock = f.socks[family_slot(m.to.family())];
    if (sock.get() < 0) sock = descriptor{open_datagram_socket(m.to.family(), k_burst_room)};
    t.sock = sock.get();
    if (sock.get() >= 0) return 0;
    std::perror("Couldn't open UDP socket");
    return 1;
}

} // namespace

int run_fleet(std::span<const member> members, const text_buffer &texts, std::string_view password,
              command_list &commands, const exchange_rules &rules, fleet_output output)
{
    owned_array<server> table(members.size());
    fleet f(table.items(), commands, rules, output);
    the_fleet = &f;
    for (std::size_t i = 0; i < members.size(); ++i)
        if (ready_server(f, i, members[i], texts, password) != 0) return 1;
    growable<paced_server> paced; // the servers that requests go to
    for (server &s : f.servers)
        if (s.resolves) paced.push({s.t.to, &s.t.known});
    const bool pace_kept = take_kept_pace(paced.items(), rules);
    f.gathered.labels = f.labels.items();
    f.gathered.clean = rules.clean;
    std::sort(f.by_address.items().begin(), f.by_address.items().end(),
              [](const server *a, const server *b) {
                  return compare_targets(*a->t.to, *b->t.to) < 0;
              });
    f.running = f.servers.size();
    const instant start = now();
    // commands typed as the run goes would make every server's progress a wait for them
    f.shown.wanted =
        f.servers.size() > 1 && commands.read_more == nullptr && isatty(STDERR_FILENO) != 0;
    if (f.shown.wanted) f.shown.from = start + k_progress_after;
    for (server &s : f.servers)
        settle(f, s, start);
    while (f.running > 0 && stop_signal() == 0 && output_error() == 0) {
        wait_for_events(f);
        fire_timers(f, now());
        show_progress(f, now());
    }
    erase_status();
    if (stop_signal() != 0) end_all(f);
    for (server &s : f.servers)
        end_open(s.t);
    if (output.gather) write_gathered(f.gathered, commands.size(), true);
    if (pace_kept) keep_pace(paced.items());
    report_failures(f);
    return f.status;
}
