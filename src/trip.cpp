// A server's round trip, each event moving its state on: its turn, its challenge, a retry, its
// silence, its bound; and the steps its reply's rules share.
#include "trip.hpp"
#include "trip_steps.hpp"
#include "output.hpp"
#include "silence.hpp"

#include <cerrno>
#include <cstdio>
#include <utility>

#include <sys/socket.h>

namespace {

/// How long before the bound a retry must be due to be sent: a sleep may end a little late.
constexpr instant k_retry_margin = std::chrono::milliseconds(10);
/// How often a send goes before its failure stands: each error queued about an earlier
/// datagram fails one.
constexpr int k_send_tries = 4;

/// What a server that wants plain requests did when told to sign or hash them.
constexpr const char *k_plain_server = "answered as servers of plain requests do: leave -s out";

[[gnu::noinline, gnu::cold]] void fail_plain_server(trip &t)
{
    if (says(t)) std::fprintf(stderr, "The server %s\n", k_plain_server);
    fail(t, outcome::error, k_plain_server);
}

/// Says that `t` failed to send `tried` bytes, sendto having returned `rc`.
[[gnu::noinline, gnu::cold]] void fail_send(trip &t, std::size_t tried, ssize_t rc)
{
    t.error = errno;
    if (says(t)) report_failure("Could not send UDP packet", tried, rc);
    fail(t, outcome::error);
}

/// Sends `datagram` for `t`, unless its bound has passed: the server would run a request
/// that telk reports as timed out, and a retry would run it twice. Returns 0, or 1 after
/// failing `t`.
[[gnu::always_inline]] inline int send_for(trip &t, std::span<const char> datagram,
                                           instant now_at)
{
    ssize_t rc = -1;
    if (now_at >= t.deadline) errno = ETIMEDOUT;
    for (int tries = 0; now_at < t.deadline && tries < k_send_tries; ++tries) {
        rc = sendto(t.sock, datagram.data(), datagram.size(), 0, &t.to->address.any,
                    t.to->length);
        if (rc == static_cast<ssize_t>(datagram.size())) return 0;
        if (!t.io->send_failed(t, tries)) break;
    }
    fail_send(t, datagram.size(), rc);
    return 1;
}

/// Lays out and sends the request of `t` for its command, signed with `challenge` if need be.
[[gnu::always_inline]] inline void send_request(trip &t, std::string_view challenge,
                                                instant now_at)
{
    const std::size_t length = lay_request(t.room, t.known.form, t.password, t.command, challenge);
    if (length > t.room.size()) {
        if (says(t))
            std::fprintf(stderr, "Request too long (tried=%zu, max=%zu)\n", length, t.room.size());
        return fail(t, outcome::error, "the request is too long");
    }
    t.sent.note(t.room, length);
    if (send_for(t, t.room.first(length), now_at) != 0) return;
    if (t.rules->pause.count() != 0)
        note_sent(t.known.paced, t.sent_at, burst(t.known.form, t.known.family));
    t.at = step::reply;
    t.timer = next_look(t);
}

/// Sends the request of `t` once more, or for the first time, at `now_at`.
[[gnu::always_inline]] inline void send_try(trip &t, instant now_at)
{
    t.sent_at = now_at;
    t.heard = t.challenged = false;
    t.received = 0;
    t.sign_at = instant::max();
    if (collects(t)) t.stream = {.clean = t.rules->clean && t.sink == nullptr, .room = t.opening};
    if (t.known.form != request_form::signed_by_challenge) return send_request(t, {}, now_at);
    t.challenged = true;
    if (send_for(t, k_ask_challenge, now_at) != 0) return;
    t.sent = {}; // an answer is never the question sent back
    t.at = step::challenge;
    t.timer = next_look(t);
}

/// Sends the command of `t` for the first time.
[[gnu::always_inline]] inline void begin(trip &t, instant now_at)
{
    t.started = now_at;
    t.deadline = now_at + t.rules->bound;
    t.tries = 0;
    t.decisive = decisive_family(t.known);
    t.probe_at = now_at + question_delay(t.rules->bound, t.decisive != server_family::unknown);
    t.asked = t.question_out = t.answered = false;
    t.answer = server_family::unknown;
    t.error = 0;
    send_try(t, now_at);
}

/// Sends the command of `t` again: the server turned it away, or wants another form.
void again(trip &t, instant now_at)
{
    ++t.tries;
    t.decisive = server_family::unknown;
    send_try(t, now_at);
}

/// Says that the wait of `t` for its challenge or its reply failed for `error`.
void report_wait_failed(const trip &t, int error)
{
    if (!says(t)) return;
    errno = error;
    if (t.at == step::challenge)
        std::perror("No challenge came from the server");
    else
        report_failure("Error receiving UDP packet", k_exchange_size, -1);
}

/// How recently this user's earlier runs must have reached a server of plain requests for its
/// silence to be its allowance, used up: it lets ten through at once, then one a second.
constexpr instant k_recent_use = std::chrono::seconds(10);

/// Says why a server of plain requests that this user's runs reached just before is silent:
/// its allowance, and when it lets the next request through. Returns whether it said so.
[[gnu::cold]] bool explain_used_allowance(const trip &t)
{
    const instant earlier = t.known.earlier_runs;
    if (t.answer != server_family::print_line || earlier == instant{} ||
        t.started - earlier > k_recent_use)
        return false;
    const instant at = now();
    const instant next =
        next_turn(t.known.paced, at, std::chrono::microseconds{-1},
                  burst(t.known.form, server_family::print_line));
    target_text room;
    std::fprintf(stderr,
                 "%s answers, as servers of plain requests do, and runs of this user reached it "
                 "in the last few seconds: it likely dropped this request for its allowance; it "
                 "lets the next through in %.1f s\n",
                 text_of(*t.to, room), std::chrono::duration<double>(next - at).count());
    return true;
}

/// `t` heard nothing that ends its wait within the bound.
[[gnu::noinline, gnu::cold]] void time_out(trip &t)
{
    // told how to sign or hash, a server of plain requests drops what it cannot read
    if (t.known.form_given && !sends_password(t.known.form) &&
        t.answer == server_family::print_line)
        return fail_plain_server(t);
    report_wait_failed(t, ETIMEDOUT);
    if (t.question_out && says(t) && !explain_used_allowance(t))
        explain_silence(*t.to, t.answer, t.answered, t.known.signed_by_telk);
    fail(t, outcome::timeout);
}

/// The request of `t` waited out its retry: it goes again, or it ran after all, or the
/// bound passed (telk was stopped) and the refusal stands.
[[gnu::noinline, gnu::cold]] void retry_due(trip &t, instant now_at)
{
    if (collects(t) && judge_stream(t.stream).said == reply_said::text) { // it ran after all
        t.known.accepted = true;
        t.status = 0;
        t.open = true;
        t.at = step::idle;
        t.timer = instant::max();
        return;
    }
    if (now_at < t.deadline) return again(t, now_at);
    refuse(t, reply_said::refused_or_limited);
}

/// Asks the silent server of `t` why, unless the bound has passed: a question asked then
/// would be answered after telk gave up.
[[gnu::noinline, gnu::cold]] void ask_why(trip &t, instant now_at)
{
    t.asked = true;
    t.question_out = now_at < t.deadline && t.io->ask(t);
    t.asked_at = now_at;
    if (!t.question_out) t.decisive = server_family::unknown;
}

} // namespace

/// Tells the driver of `t` that its exchange ended as `result`.
void tell_ended(trip &t, outcome result)
{
    if (t.io->ended != nullptr) t.io->ended(t, result);
}

/// Ends the exchange of `t` as `result`.
void end_with(trip &t, outcome result)
{
    t.at = busy(t) ? step::idle : t.at;
    t.timer = instant::max();
    tell_ended(t, result);
}

/// Ends the command of `t`, failed for `reason` (null: for the system's error): no further
/// one goes.
[[gnu::noinline, gnu::cold]] void fail(trip &t, outcome result, const char *reason)
{
    t.status = 1;
    t.reason = reason;
    t.open = false;
    end_with(t, result);
    t.at = step::failed;
}

/// What a refusal of the third family may mean besides a wrong password.
refusal_hint hint_for(const server_state &server)
{
    if (server.accepted) return refusal_hint::limited;
    if (sends_password(server.form)) return refusal_hint::try_hashed;
    return server.form_given ? refusal_hint::leave_form : refusal_hint::none;
}

/// Whether a request that the server turned away, as `said`, after `tries` earlier tries,
/// goes again a pace later, before the bound: when a request of the run was taken (the limit
/// spoke), the first time (it may have), and once hashed when plain requests were refused
/// twice and telk chooses the form, which it notes.
bool goes_again(trip &t, reply_said said)
{
    server_state &server = t.known;
    if (said != reply_said::refused_or_limited ||
        t.sent_at + k_pace_interval + k_retry_margin >= t.deadline)
        return false;
    if (server.accepted || t.tries == 0) return true;
    if (t.tries > 1 || server.form_given || server.form != request_form::rcon) return false;
    server.form = request_form::hashed_by_time;
    return true;
}

/// When `t` next wants a look while its request waits for an answer.
instant next_look(const trip &t)
{
    instant at = std::min(t.deadline, t.sign_at);
    if (!t.heard && !t.asked) at = std::min(at, t.probe_at);
    if (collects(t) && has_text(t.stream)) at = std::min(at, t.quiet_end);
    return at;
}

/// The time of `t` has come while its request waits for an answer.
void waited(trip &t, instant now_at)
{
    if (collects(t) && has_text(t.stream) && now_at >= t.quiet_end) return reply_ended(t);
    const bool some_text = !collects(t) && t.received > k_header.size();
    if (some_text && now_at >= t.deadline) return reply_ended(t); // what came is the reply
    if (now_at >= t.deadline) return time_out(t);
    if (!t.heard && now_at >= t.sign_at) { // it ignored the plain request
        t.known.form = request_form::signed_by_challenge;
        t.known.signed_by_telk = true;
        return again(t, now_at);
    }
    if (!t.heard && !t.asked && now_at >= t.probe_at) ask_why(t, now_at);
    t.timer = next_look(t);
}

/// A datagram while `t` waits for its challenge.
[[gnu::noinline, gnu::cold]] void challenge_datagram(trip &t, std::span<const char> datagram, instant arrived)
{
    if (arrived > t.deadline) return time_out(t);
    t.heard = true;
    const std::string_view bytes{datagram.data(), datagram.size()};
    if (bytes.starts_with(k_plain_challenge_answer)) return fail_plain_server(t);
    t.timer = next_look(t);
    if (!bytes.starts_with(k_challenge_answer)) return;
    t.heard = false; // the request's own reply may yet be silent
    send_request(t, challenge_in(bytes), now());
}

server_family decisive_family(const server_state &server)
{
    if (!server.form_given && server.form == request_form::rcon &&
        server.family == server_family::unknown)
        return server_family::marker_n;
    if (server.form == request_form::signed_by_time) return server_family::print_line;
    return server_family::unknown;
}

void start_trip(trip &t)
{
    t.known.form = t.rules->form;
    t.known.form_given = t.rules->form_given;
}

void start_command(trip &t, std::string_view command, instant now_at)
{
    t.command = command;
    t.status = 0;
    t.at = step::turn;
    const auto pause = t.rules->pause;
    t.timer = pause.count() == 0 ? now_at
                                 : next_turn(t.known.paced, now_at, pause,
                                             burst(t.known.form, t.known.family));
    if (t.timer <= now_at && !t.open) begin(t, now_at); // its turn, and nothing to end first
}

std::span<char> receive_room(const trip &t, std::span<char> scratch)
{
    if (t.at == step::reply && !collects(t)) return t.room.subspan(t.received);
    return scratch;
}

void on_time(trip &t, instant now_at)
{
    switch (t.at) {
    case step::turn:
        end_open(t);
        return begin(t, now_at);
    case step::challenge:
        if (now_at >= t.deadline) return time_out(t);
        if (!t.heard && !t.asked && now_at >= t.probe_at) ask_why(t, now_at);
        t.timer = next_look(t);
        return;
    case step::reply:
        return waited(t, now_at);
    case step::retry:
        return retry_due(t, now_at);
    case step::idle:
    case step::failed:
        return;
    }
}

void on_answer(trip &t, server_family family, instant arrived)
{
    t.answered = true;
    if (t.answer == server_family::unknown) t.answer = family;
    if (family == server_family::unknown || (t.at != step::reply && t.at != step::challenge))
        return;
    if (family != t.decisive) {
        t.decisive = server_family::unknown; // it answered as another family
        return;
    }
    if (t.heard || t.at != step::reply) return;
    if (family == server_family::print_line) return fail_plain_server(t);
    // the plain request's reply may still be on its way: it has twice the question's round
    // trip to come
    t.decisive = server_family::unknown;
    t.sign_at = arrived + 2 * (arrived - std::min(t.asked_at, arrived));
    t.timer = next_look(t);
}

void on_unreachable(trip &t, int error)
{
    const bool waiting = t.at == step::challenge || t.at == step::reply;
    if (!waiting) return;
    // once a collected reply has text, whatever ends the wait ends the reply
    if (t.at == step::reply && collects(t) && has_text(t.stream)) return reply_ended(t);
    t.error = error;
    report_wait_failed(t, error);
    fail(t, outcome::unreachable);
}

[[gnu::noinline, gnu::cold]] void report_failure(const char *action, std::size_t tried, ssize_t rc)
{
    constexpr std::size_t k_error_text_size = 64;
    std::array<char, k_error_text_size> text;
    std::snprintf(text.data(), text.size(), "%s (tried=%d, rc=%d)", action, static_cast<int>(tried),
                  static_cast<int>(rc));
    std::perror(text.data());
}
