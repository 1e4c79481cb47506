// A server's round trips in a run of several, each event moving its state on: its turn, its
// challenge, its reply until quiet, a retry, its silence, its end.
#include "fleet_trip.hpp"
#include "datagrams.hpp"
#include "output.hpp"
#include "pacing.hpp"
#include "request.hpp"
#include "silence.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

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
    if (s.next == f.commands.size()) { // none left; while input may bring one, wait for it
        s.at = f.commands.read_more != nullptr ? step::turn : step::done;
        s.timer = instant::max();
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

} // namespace

void end_open_reply(fleet &f, server &s)
{
    if (!std::exchange(s.open, false)) return;
    write_reply(f, s, s.stream.header_ok ? outcome::ok : outcome::error);
    if (s.stream.header_ok) return;
    label_message(s);
    std::fputs("Invalid buffer header.  Sorry.\n", stderr);
    f.status = 1;
}

void on_unreachable(fleet &f, server &s, int error)
{
    if (s.at != step::challenge && (s.at != step::reply || has_text(s.stream))) return;
    label_message(s);
    errno = error;
    report_failure("Error receiving UDP packet", k_exchange_size, -1);
    s.error = error;
    fail(f, s, outcome::unreachable, nullptr);
}

void on_datagram(fleet &f, server &s, std::string_view datagram, instant arrived)
{
    if (s.at == step::challenge) {
        if (datagram.starts_with(k_plain_challenge_answer)) {
            label_message(s);
            report_plain_server();
            return fail(f, s, outcome::error, "takes plain requests");
        }
        if (!datagram.starts_with(k_challenge_answer)) return;
        return send_request(f, s, challenge_in(datagram));
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
