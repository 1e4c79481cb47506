// The fleet's loop: one wait over the run's few sockets, each datagram handed to the server
// that sent it, each server moved on when its time comes.
#include "fleet.hpp"
#include "datagrams.hpp"
#include "fleet_trip.hpp"
#include "output.hpp"
#include "signals.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

#include <poll.h>
#include <unistd.h>

namespace {

using std::chrono::microseconds;

constexpr std::size_t k_datagram_size = 65536;
/// Room on each socket for the replies of many servers that come at once.
constexpr int k_burst_room = 1 << 22;
/// Datagrams taken off a socket before the servers' times are looked at again.
constexpr int k_reads_a_turn = 1 << 10;

/// The server whose address and port `from` is, or null.
server *find_sender(fleet &f, const target &from)
{
    const auto found = std::lower_bound(
        f.by_address.items().begin(), f.by_address.items().end(), from,
        [](const server *s, const target &to) { return compare_targets(s->who->to, to) < 0; });
    if (found == f.by_address.items().end() || compare_targets((*found)->who->to, from) != 0)
        return nullptr;
    return *found;
}

/// Takes what is waiting on `sock`: replies (or, from a question's socket, answers) for their
/// servers, and errors about datagrams sent to them.
void take_waiting(fleet &f, int sock, bool answers)
{
    static std::array<char, k_datagram_size> datagram;
    for (int left = k_reads_a_turn; left > 0; --left) {
        target from;
        instant arrived{};
        const ssize_t got = receive_stamped(sock, datagram, false, arrived, &from);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // An error report: about a request, for its server; about a question, no one's. Taken
        // off either way: while one is queued, the socket is always ready.
        if (got < 0 && answers) take_errors(sock, {});
        if (got < 0 && !answers) route_errors(f, sock);
        if (got < 0) continue;
        server *s = find_sender(f, from);
        if (s == nullptr || s->at == step::done) continue; // from no one awaited
        const std::string_view bytes{datagram.data(), static_cast<std::size_t>(got)};
        if (answers)
            on_answer(f, *s, bytes);
        else
            on_datagram(f, *s, bytes, arrived);
    }
}

/// Moves on every server whose time has come. Returns when the next one's comes, or
/// instant::max() when none is due; `waiting` says whether any server waits for input to
/// bring a command.
instant move_on(fleet &f, bool &waiting)
{
    const instant now_at = now();
    instant next = instant::max();
    waiting = false;
    for (server &s : f.servers) {
        if (s.at != step::done && s.timer <= now_at) on_time(f, s, now_at);
        if (s.at == step::done) continue;
        waiting = waiting || s.timer == instant::max();
        next = std::min(next, s.timer);
    }
    return next;
}

/// Takes the commands that standard input brought, and wakes the servers that waited for one.
void take_input(fleet &f)
{
    if (f.commands.read_more(f.commands) != 0) f.status = 1;
    const instant now_at = now();
    for (server &s : f.servers)
        if (s.at == step::turn && s.timer == instant::max()) s.timer = now_at;
}

/// Waits until `until` (instant::max(): for as long as it takes) for what comes on the run's
/// sockets and, while it may bring commands, standard input, and takes it.
void wait_for_datagrams(fleet &f, instant until)
{
    constexpr std::size_t k_input = 2 * k_families;
    std::array<pollfd, k_input + 1> watched{};
    for (std::size_t i = 0; i < k_families; ++i) {
        watched[i] = {f.socks[i].get(), POLLIN, 0};
        watched[k_families + i] = {f.probes[i].get(), POLLIN, 0};
    }
    watched[k_input] = {f.commands.read_more != nullptr ? STDIN_FILENO : -1, POLLIN, 0};
    const auto left = std::chrono::ceil<microseconds>(until - now());
    const timespec limit = as_timespec(std::max(left, microseconds{}));
    if (ppoll(watched.data(), watched.size(), until == instant::max() ? nullptr : &limit,
              nullptr) <= 0)
        return;
    for (std::size_t i = 0; i < k_input; ++i)
        if (watched[i].revents != 0) take_waiting(f, watched[i].fd, i >= k_families);
    if (watched[k_input].revents != 0) take_input(f);
}

/// Says at the end which servers failed, and how.
void report_failures(const fleet &f)
{
    for (const server &s : f.servers) {
        if (!s.failed) continue;
        label_message(s);
        errno = s.error; // where the reason is the system's
        if (s.reason != nullptr)
            std::fprintf(stderr, "failed: %s\n", s.reason);
        else
            std::perror("failed");
    }
}

} // namespace

void route_errors(fleet &f, int sock)
{
    const int saved_errno = errno;
    target about;
    for (int unreachable = 0; take_error(sock, about, unreachable);) {
        server *s = find_sender(f, about);
        if (s != nullptr && unreachable != 0) on_unreachable(f, *s, unreachable);
    }
    errno = saved_errno;
}

int run_fleet(std::span<const member> members, const text_buffer &texts, std::string_view password,
              command_list &commands, const exchange_rules &rules, fleet_output output)
{
    owned_array<server> table(members.size());
    fleet f(table.items(), commands, rules, output);
    for (std::size_t i = 0; i < members.size(); ++i) {
        server &s = f.servers[i];
        s.who = &members[i];
        s.label = label_of(members[i], texts);
        s.password =
            members[i].own_password
                ? std::string_view{texts.data() + members[i].password_at, members[i].password_size}
                : password;
        s.known.bound = rules.bound;
        s.known.form = rules.form;
        s.known.form_given = rules.form_given;
        f.by_address.push(&s);
        descriptor &sock = f.socks[family_slot(members[i].to.family())];
        if (sock.get() < 0)
            sock = descriptor{open_datagram_socket(members[i].to.family(), k_burst_room)};
        if (sock.get() < 0) {
            std::perror("Couldn't open UDP socket");
            return 1;
        }
    }
    std::sort(f.by_address.items().begin(), f.by_address.items().end(),
              [](const server *a, const server *b) {
                  return compare_targets(a->who->to, b->who->to) < 0;
              });
    bool waiting = false;
    for (instant next = move_on(f, waiting);
         (next != instant::max() || waiting) && stop_signal() == 0 && output_error() == 0;
         next = move_on(f, waiting))
        wait_for_datagrams(f, next);
    for (server &s : f.servers)
        end_open_reply(f, s);
    report_failures(f);
    return f.status;
}
