// The fleet's loop: a state a server, moved on by what comes from it and by its times.
#include "fleet.hpp"
#include "datagrams.hpp"
#include "descriptor.hpp"
#include "fleet_output.hpp"
#include "output.hpp"
#include "pacing.hpp"
#include "protocol.hpp"
#include "reply.hpp"
#include "request.hpp"
#include "round_trip.hpp"
#include "signals.hpp"
#include "silence.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <poll.h>
#include <sys/socket.h>

namespace {

using std::chrono::microseconds;

constexpr std::size_t k_datagram_size = 65536;
/// Holds the first line that a reply's later datagrams repeat.
constexpr std::size_t k_opening_size = 64;
/// Room on each socket for the replies of many servers that come at once.
constexpr int k_burst_room = 1 << 22;
/// Datagrams taken off a socket before the servers' times are looked at again.
constexpr int k_reads_a_turn = 1 << 10;
constexpr std::size_t k_families = 2; // IPv4 and IPv6: a socket each

/// Where a server's round trip stands.
enum class step : unsigned char {
    turn,      // waiting for its next command's turn; its last reply may still be open
    challenge, // waiting for the challenge to sign the request with
    reply,     // waiting for the reply, collecting it until quiet
    retry,     // turned away: waiting to send the request again, collecting what still comes
    done,
};

/// One server and its round trip in flight.
struct server {
    const member *who = nullptr;
    std::string_view label, password;
    server_state known;   // what the run knows of it, and how requests go to it
    std::size_t next = 0; // the command in flight, or the next to go
    step at = step::turn;
    instant timer{}; // when it next wants a look
    instant sent_at{}, deadline{}, probe_at{}, quiet_end{}, last_arrival{};
    int tries = 0;
    bool open = false;  // its last reply's end is not written yet
    bool asked = false; // the question why it is silent went out
    bool answered = false;
    server_family answer = server_family::unknown;
    bool failed = false;
    const char *reason = nullptr; // what failed, for the run's end; null: error says it
    int error = 0;
    sent_request sent; // to tell it sent back
    std::array<char, k_opening_size> opening{};
    reply_stream stream{};
    text_buffer text; // the reply's text as it came, openings left out
};

/// The run: its servers, found by address, its sockets and what it sends.
struct fleet {
    fleet(std::span<server> all, std::span<const std::string_view> sent, const exchange_rules &how,
          fleet_output out)
        : servers(all), commands(sent), rules(how), output(out)
    {
    }

    std::span<server> servers;
    growable<server *> by_address; // sorted, to tell who sent a datagram
    std::array<descriptor, k_families> socks;
    std::array<descriptor, k_families> probes; // for the questions to silent servers
    std::span<const std::string_view> commands;
    const exchange_rules &rules;
    fleet_output output;
    int status = 0;
};

std::size_t family_slot(int family) { return family == AF_INET6 ? 1 : 0; }

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

/// Writes `s`'s label in front of a message on standard error.
void label_message(const server &s) { ::label_message(s.label); }

/// Writes the reply of `s` out, and what came of it.
void write_reply(fleet &f, server &s, outcome result)
{
    target_text address;
    write_exchange({.label = s.label,
                    .address = text_of(s.who->to, address),
                    .command = f.commands[s.next],
                    .result = result,
                    .family = s.known.family,
                    .took = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::max(s.last_arrival, s.sent_at) - s.sent_at),
                    .text = view_of(s.text)},
                   f.rules.clean, f.output.json);
    s.text.clear();
}

/// Ends the open reply of `s`: writes it out.
void end_open_reply(fleet &f, server &s)
{
    if (!std::exchange(s.open, false)) return;
    write_reply(f, s, s.stream.header_ok ? outcome::ok : outcome::error);
    if (s.stream.header_ok) return;
    label_message(s);
    std::fputs("Invalid buffer header.  Sorry.\n", stderr);
    f.status = 1;
}

/// Ends `s`'s part in the run: `reason` failed it, with `result`; what its reply brought is
/// written out first.
void fail(fleet &f, server &s, outcome result, const char *reason)
{
    if (s.stream.received == 0) s.last_arrival = now();
    if (f.output.json || s.stream.received > 0) write_reply(f, s, result);
    s.failed = true;
    s.reason = reason;
    s.at = step::done;
    f.status = 1;
}

/// Takes the errors the system queued on `sock` about datagrams sent to servers: one that
/// says a server cannot be reached fails its exchange, while it waits for an answer.
void route_errors(fleet &f, int sock)
{
    const int saved_errno = errno;
    target about;
    for (int unreachable = 0; take_error(sock, about, unreachable);) {
        server *s = find_sender(f, about);
        if (s == nullptr || unreachable == 0) continue;
        if (s->at != step::challenge && (s->at != step::reply || has_text(s->stream))) continue;
        label_message(*s);
        errno = unreachable;
        report_failure("Error receiving UDP packet", k_exchange_size, -1);
        s->error = unreachable;
        fail(f, *s, outcome::unreachable, nullptr);
    }
    errno = saved_errno;
}

/// Sends `datagram` to `s` from the socket of its family. Returns 0, or 1 after failing `s`.
int send_to(fleet &f, server &s, std::span<const char> datagram)
{
    const int sock = f.socks[family_slot(s.who->to.family())].get();
    for (int tries = 0; tries < 2; ++tries) {
        if (sendto(sock, datagram.data(), datagram.size(), 0, &s.who->to.address.any,
                   s.who->to.length) == static_cast<ssize_t>(datagram.size()))
            return 0;
        // an error about a datagram sent earlier, to any server, fails the send: taken off
        // and told to its server, the send goes again
        route_errors(f, sock);
        if (s.at == step::done) return 1;
    }
    label_message(s);
    std::perror("Could not send UDP packet");
    s.error = errno;
    fail(f, s, outcome::error, nullptr);
    return 1;
}

/// Asks `s` for a challenge to sign its request with.
void ask_challenge(fleet &f, server &s)
{
    s.at = step::challenge;
    s.timer = s.deadline;
    send_to(f, s, k_ask_challenge);
}

/// Lays out and sends the request of `s` for its command, with `challenge` when signed by one.
void send_request(fleet &f, server &s, std::string_view challenge)
{
    static std::array<char, k_exchange_size> buffer;
    const std::size_t length =
        lay_request(buffer, s.known.form, s.password, f.commands[s.next], challenge);
    if (length == 0) return fail(f, s, outcome::error, "the request is too long");
    s.sent.note(buffer, length);
    if (send_to(f, s, {buffer.data(), length}) != 0) return;
    s.at = step::reply;
    s.stream = {.clean = false, .room = s.opening};
    s.timer = std::min(s.deadline, s.asked ? s.deadline : s.probe_at);
}

/// Sends the command of `s` that is due, or ends its part when none is left.
void start_command(fleet &f, server &s, instant now_at)
{
    if (s.open) {
        end_open_reply(f, s);
        ++s.next;
    }
    if (s.next == f.commands.size()) {
        s.at = step::done;
        return;
    }
    const bool may_change = decisive_family(s.known) != server_family::unknown;
    s.sent_at = now_at;
    s.deadline = now_at + f.rules.bound;
    s.probe_at = now_at + question_delay(f.rules.bound, may_change);
    s.asked = s.answered = false;
    s.answer = server_family::unknown;
    s.tries = 0;
    s.text.clear();
    if (f.rules.pause.count() != 0)
        note_sent(s.known.paced, now_at, burst(s.known.form, s.known.family));
    if (s.known.form == request_form::signed_by_challenge) return ask_challenge(f, s);
    send_request(f, s, {});
}

/// Plans the next command of `s`, once the pace allows; its reply stays open until then.
void plan_next(fleet &f, server &s, instant now_at)
{
    s.open = true;
    s.at = step::turn;
    s.timer = f.rules.pause.count() == 0 ? now_at
                                         : next_turn(s.known.paced, now_at, f.rules.pause,
                                                     burst(s.known.form, s.known.family));
}

/// What a refusal by `s` says, on standard error, and fails it.
void refuse(fleet &f, server &s, reply_said said)
{
    const bool limited = s.known.accepted && said == reply_said::refused_or_limited;
    write_reply(f, s, outcome::refused);
    label_message(s);
    report_refusal(said, hint_for(s.known));
    s.failed = true;
    s.reason = limited ? "refused the request as over its limit" : "refused the password";
    s.at = step::done;
    f.status = 1;
}

/// The reply of `s` has ended: what it said decides what comes next.
void end_reply_of(fleet &f, server &s, instant now_at)
{
    const reply_verdict verdict = judge_stream(s.stream);
    if (verdict.family != server_family::unknown) s.known.family = verdict.family;
    if (verdict.said == reply_said::text) s.known.accepted = true;
    if (goes_again(s.known, s.sent_at, s.deadline, verdict.said, s.tries)) {
        s.at = step::retry;
        s.timer = s.sent_at + k_pace_interval;
        return;
    }
    if (verdict.said != reply_said::text && verdict.said != reply_said::no_header)
        return refuse(f, s, verdict.said);
    plan_next(f, s, now_at);
}

/// A datagram from `s` that reached the socket at `arrived`.
void on_datagram(fleet &f, server &s, std::string_view datagram, instant arrived)
{
    if (s.at == step::challenge) {
        if (datagram.starts_with(k_plain_challenge_answer)) {
            label_message(s);
            report_plain_server();
            return fail(f, s, outcome::error, "takes plain requests");
        }
        if (!datagram.starts_with(k_challenge_answer)) return;
        std::string_view challenge = datagram;
        challenge.remove_prefix(k_challenge_answer.size());
        return send_request(f, s,
                            {challenge.data(), std::min(challenge.find('\0'), challenge.size())});
    }
    if (s.at == step::reply && arrived < s.sent_at) return; // for an earlier request
    const bool collecting =
        s.at == step::reply || s.at == step::retry || (s.at == step::turn && s.open);
    // the reply takes what came before its bound, and once it has text, before its quiet
    // time or the next request's turn
    const bool waiting = s.at == step::reply && !has_text(s.stream);
    if (!collecting || arrived > (waiting ? s.deadline : std::min(s.timer, s.deadline))) return;
    if (s.stream.received == 0 && s.sent.echoed_by(datagram)) {
        label_message(s);
        report_echo(s.who->to);
        return fail(f, s, outcome::error, "sent the request back");
    }
    capture_output(&s.text);
    add_datagram(s.stream, datagram);
    capture_output(nullptr);
    s.last_arrival = arrived;
    if (s.at != step::reply || !has_text(s.stream)) return;
    const bool newline_ends =
        f.rules.quiet.count() == 0 && (datagram.ends_with('\n') || datagram.ends_with('\0'));
    s.quiet_end = newline_ends ? arrived : std::min(s.deadline, arrived + f.rules.quiet);
    s.timer = s.quiet_end;
}

/// The answer of `s` to the question why it is silent.
void on_answer(fleet &f, server &s, std::string_view datagram)
{
    s.answered = true;
    const server_family family = family_answering(datagram);
    if (family != server_family::unknown) s.answer = family;
    if (s.at != step::reply || has_text(s.stream)) return;
    if (family == server_family::marker_n && !f.rules.form_given &&
        s.known.form == request_form::rcon) {
        sign_from_now_on(s.known); // it ignored the plain request
        ask_challenge(f, s);
    } else if (family == server_family::print_line &&
               s.known.form == request_form::signed_by_time) {
        label_message(s);
        report_plain_server();
        fail(f, s, outcome::error, "takes plain requests");
    }
}

/// `s` is silent past its bound.
void time_out(fleet &f, server &s)
{
    label_message(s);
    errno = ETIMEDOUT;
    if (s.at == step::challenge)
        std::perror("No challenge came from the server");
    else
        report_failure("Error receiving UDP packet", k_exchange_size, -1);
    if (s.asked && f.probes[family_slot(s.who->to.family())].get() >= 0) {
        label_message(s);
        explain_silence(s.who->to, s.answer, s.answered, s.known.signed_by_telk);
    }
    fail(f, s, outcome::timeout, "no reply within the bound");
}

/// Asks silent `s` why, from the question's socket of its family.
void ask_why(fleet &f, server &s)
{
    s.asked = true;
    descriptor &probe = f.probes[family_slot(s.who->to.family())];
    if (probe.get() < 0) probe = descriptor{open_datagram_socket(s.who->to.family(), 0)};
    if (probe.get() >= 0)
        sendto(probe.get(), k_ask_challenge.data(), k_ask_challenge.size(), 0,
               &s.who->to.address.any, s.who->to.length);
    s.timer = s.deadline;
}

/// Moves `s` on once its time has come.
void on_time(fleet &f, server &s, instant now_at)
{
    switch (s.at) {
    case step::turn:
        return start_command(f, s, now_at);
    case step::challenge:
        return time_out(f, s);
    case step::reply:
        if (has_text(s.stream)) return end_reply_of(f, s, now_at);
        if (now_at >= s.deadline) return time_out(f, s);
        return ask_why(f, s);
    case step::retry:
        if (judge_stream(s.stream).said == reply_said::text) { // it ran after all
            s.known.accepted = true;
            return plan_next(f, s, now_at);
        }
        ++s.tries;
        s.sent_at = now_at;
        s.text.clear();
        return send_request(f, s, {});
    case step::done:
        return;
    }
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
        if (got < 0) {
            if (!answers) route_errors(f, sock);
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            continue;
        }
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
/// instant::max() when every server is done.
instant move_on(fleet &f)
{
    const instant now_at = now();
    instant next = instant::max();
    for (server &s : f.servers) {
        if (s.at != step::done && s.timer <= now_at) on_time(f, s, now_at);
        if (s.at != step::done) next = std::min(next, s.timer);
    }
    return next;
}

/// Waits until `until` for what comes on the run's sockets, and takes it.
void wait_for_datagrams(fleet &f, instant until)
{
    std::array<pollfd, 2 * k_families> watched{};
    for (std::size_t i = 0; i < k_families; ++i) {
        watched[i] = {f.socks[i].get(), POLLIN, 0};
        watched[k_families + i] = {f.probes[i].get(), POLLIN, 0};
    }
    const auto left = std::chrono::ceil<microseconds>(until - now());
    const timespec limit = as_timespec(std::max(left, microseconds{}));
    if (ppoll(watched.data(), watched.size(), &limit, nullptr) <= 0) return;
    for (std::size_t i = 0; i < watched.size(); ++i)
        if (watched[i].revents != 0) take_waiting(f, watched[i].fd, i >= k_families);
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

int run_fleet(std::span<const member> members, const text_buffer &texts, std::string_view password,
              std::span<const std::string_view> commands, const exchange_rules &rules,
              fleet_output output)
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
    for (instant next = move_on(f);
         next != instant::max() && stop_signal() == 0 && output_error() == 0; next = move_on(f))
        wait_for_datagrams(f, next);
    for (server &s : f.servers)
        end_open_reply(f, s);
    report_failures(f);
    return f.status;
}
