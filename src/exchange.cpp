// The round trip of one request: its pace, its send, the datagrams of its reply within the
// bound, and what the server's answer says of the form it wants.
#include "exchange.hpp"
#include "datagrams.hpp"
#include "output.hpp"
#include "pacing.hpp"
#include "protocol.hpp"
#include "reply.hpp"
#include "round_trip.hpp"
#include "signals.hpp"
#include "silence.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

using std::chrono::microseconds;

/// Holds any UDP datagram whole.
constexpr std::size_t k_datagram_size = 65536;

/// What came of one try at an exchange, when it is not the exchange's status.
constexpr int k_again = k_no_header + 1;     // turned away: the request may go again later
constexpr int k_again_now = k_no_header + 2; // the server wants another form: at once

/// Datagrams received only to be cut, collected or dropped. Static, like the exchange buffer:
/// on the stack it would make every run's stack pages resident, collecting or not.
std::array<char, k_datagram_size> scratch;

/// What the run knows of its server from its answers so far, and how requests go to it.
server_state run;

/// The last reply collected until quiet, while its end is not written: what comes for it
/// before the next request leaves is still its own.
struct open_reply {
    bool open = false;
    reply_stream stream{};
    int sock = -1;
    const target *to = nullptr;
    instant quiet_end{}; // by the arrival of its last datagram
    instant deadline{};
} last;

/// A datagram taken off the socket after its reply's quiet time, still in scratch: the next
/// request's wait takes it into that reply when it came before the request's turn.
late_datagram straggler;

/// The wait for this request's turn ended finding nothing more waiting on the socket: nothing
/// is left to drop before the request, and no call need look again. Taken by the request.
bool drained = false;

/// Receives datagrams appended to each other in `buffer` until the reply is complete or the
/// bound passes. Returns the reply's length, 0 after reporting the failure, k_echoed or
/// k_probe_answered.
ssize_t receive_reply(round_trip &trip, std::span<char> buffer)
{
    std::size_t received = 0;
    while (!reply_complete(buffer, received)) {
        const ssize_t rc = next_datagram(trip, buffer.subspan(received), trip.deadline, nullptr);
        if (rc > 0) {
            received += static_cast<std::size_t>(rc);
            continue;
        }
        if (rc == k_echoed || rc == k_probe_answered) return rc;
        // the server went quiet, or telk was told to end: what came is the reply
        if (rc < 0 && (errno == ETIMEDOUT || errno == EINTR) && received > k_header.size())
            return static_cast<ssize_t>(received);
        if (stop_signal() == 0) report_receive_failure(trip, rc);
        return 0;
    }
    return static_cast<ssize_t>(received);
}

// The functions marked noinline serve replies collected until quiet, signed requests and
// retries: kept out of send_command, the bare loop's code stays on fewer pages.

/// Drops every datagram and error waiting on the socket of `trip`, and the straggler: what
/// came for an earlier request after its reply ended is never read as this one's answer.
[[gnu::noinline]] void drop_waiting(round_trip &trip)
{
    straggler.held = false;
    pollfd watched{trip.sock, POLLIN, 0};
    for (int left = k_late_reads; left > 0 && poll(&watched, 1, 0) > 0; --left) {
        trip.on_socket_bound = false;
        const ssize_t rc =
            recvfrom(trip.sock, scratch.data(), scratch.size(), MSG_DONTWAIT, nullptr, nullptr);
        // A failed receive took an error off the socket, reported or not; only one that
        // finds nothing waiting ends the drop.
        if (rc < 0 && !take_errors(trip.sock, trip.to).any && errno == EAGAIN) return;
    }
}

/// Asks the server of `trip` for a challenge to sign the request with, and waits for it
/// within the bound; any other datagram is passed over. The challenge is what follows
/// "challenge " in the answer, up to a zero byte; it lives in the scratch datagram. Returns
/// 0, or 1 after reporting why none came.
[[gnu::noinline]] int get_challenge(round_trip &trip, std::string_view &challenge)
{
    const ssize_t sent = send_request(trip, k_ask_challenge);
    if (sent != static_cast<ssize_t>(k_ask_challenge.size())) {
        report_failure("Could not send UDP packet", k_ask_challenge.size(), sent);
        return 1;
    }
    trip.sent = {}; // an answer is never the question sent back
    for (;;) {
        const ssize_t rc = next_datagram(trip, scratch, trip.deadline, nullptr);
        if (rc < 0) {
            if (stop_signal() != 0) return 1;
            const bool silent = errno == ETIMEDOUT;
            std::perror("No challenge came from the server");
            if (silent) trip.probe.explain(trip.to, run.signed_by_telk);
            return 1;
        }
        const std::string_view datagram{scratch.data(), static_cast<std::size_t>(rc)};
        if (datagram.starts_with(k_plain_challenge_answer)) return report_plain_server();
        if (!datagram.starts_with(k_challenge_answer)) continue;
        trip.heard = false; // the request's own reply may yet be silent
        challenge = challenge_in(datagram);
        return 0;
    }
}

/// Adds the datagram in scratch, `length` bytes, to `reply` and shows its text at once.
void take_piece(reply_stream &reply, std::size_t length)
{
    add_datagram(reply, {scratch.data(), length});
    flush_out(); // whoever reads sees each datagram's text as it comes
}

/// Collects datagrams of `reply` that reach the socket of `trip` by `until`, or, once it has
/// text, by `quiet` after the last one (0: by `until` only), by their arrival; empty ones are
/// no part of it and end no quiet time. Returns 0 once it has text and the time passed (or
/// the wait ended otherwise), or else k_failed with errno set, k_echoed or k_probe_answered.
[[gnu::noinline]] ssize_t collect(round_trip &trip, reply_stream &reply, instant until,
                                  microseconds quiet)
{
    for (instant end = until;;) {
        instant arrived{};
        const ssize_t rc = next_datagram(trip, scratch, end, &arrived);
        if (trip.held_back.held) straggler = std::exchange(trip.held_back, {});
        // Once the reply has text, whatever ends the wait ends the reply: an error about the
        // target that comes after its answer says nothing of that answer.
        if (rc == k_failed && has_text(reply)) {
            last.quiet_end = end;
            return 0;
        }
        if (rc < 0) return rc;
        if (rc == 0) continue;
        take_piece(reply, static_cast<std::size_t>(rc));
        if (has_text(reply) && quiet.count() > 0) end = std::min(until, arrived + quiet);
    }
}

/// Collects what still comes for the open reply, or the held one, until `until` but not past
/// its bound.
[[gnu::noinline]] void collect_late_pieces(int sock, const target &to, instant until)
{
    const instant window = std::min(until, last.deadline);
    if (straggler.held && straggler.arrived <= window) {
        straggler.held = false;
        take_piece(last.stream, straggler.length);
    }
    if (!straggler.held && window > last.quiet_end) {
        round_trip trip{sock, to, last.deadline, run};
        trip.question_planned = true;
        trip.probe_at = instant::max();
        trip.on_socket_bound = false;
        trip.heard = true;
        collect(trip, last.stream, window, {});
        drained =
            errno == ETIMEDOUT && !straggler.held; // what ended it: the time, and nothing queued
    }
}

/// Sleeps until `until`, through a stop and continue. What was printed is written out first,
/// for whoever waits for it.
void sleep_until(instant until)
{
    if (until <= now()) return;
    flush_out();
    const timespec wake = as_timespec(until);
    while (stop_signal() == 0 &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
}

/// Waits until `until`; with a reply open, collects what still comes for it meanwhile.
void wait_until_turn(instant until)
{
    if (last.open) collect_late_pieces(last.sock, *last.to, until);
    sleep_until(until);
}

/// Waits for the next request's turn: its least pause, and the pace the server's family
/// allows, collecting the last reply's late pieces meanwhile. Returns the time the request
/// may go.
instant wait_for_turn(const exchange_rules &rules)
{
    const instant start = now();
    if (rules.pause.count() == 0 && !last.open) return start; // the bare loop
    const instant turn = rules.pause.count() == 0 ? start
                                                  : next_turn(run.paced, start, rules.pause,
                                                              burst(run.form, run.family));
    wait_until_turn(turn);
    end_reply();
    return now();
}

/// When a request that went at `sent_at` and was turned away may go again.
instant retry_at(instant sent_at) { return sent_at + k_pace_interval; }

/// Sends the request and takes its reply, which is read as `rules` say. `verdict` is what
/// it said, `received` its length when it was read to a newline. Returns 0 once a reply came,
/// or 1, k_again_now or k_no_header as try_once does.
int take_reply(round_trip &trip, std::span<char> buffer, const exchange_rules &rules,
               reply_verdict &verdict, std::size_t &received)
{
    ssize_t got = 0;
    if (rules.quiet.count() > 0) {
        last.stream = {.clean = rules.clean, .room = buffer};
        got = collect(trip, last.stream, trip.deadline, rules.quiet);
        if (got == 0) verdict = judge_stream(last.stream);
    } else {
        got = receive_reply(trip, buffer);
        if (got == 0) return 1; // reported
        if (got > 0) {
            received = static_cast<std::size_t>(got);
            verdict = judge_reply(buffer.first(received));
            got = 0;
        }
    }
    if (got == k_echoed) return report_echo(trip.to);
    if (got == k_probe_answered && trip.decisive == server_family::print_line)
        return report_plain_server();
    if (got == k_probe_answered) { // the second family: it ignored the plain request
        sign_from_now_on(run);
        return k_again_now;
    }
    if (got < 0 && stop_signal() == 0) report_receive_failure(trip, got);
    return got == 0 ? 0 : 1;
}

/// Sends the request at `sent_at` in the run's form and takes its reply, printed unless the
/// server turned it away and it may go again. Returns 0 or 1 as send_command does, k_again
/// (the reply held unprinted), or k_again_now.
int try_once(round_trip &trip, std::span<char> buffer, instant sent_at, std::string_view password,
             std::string_view command, const exchange_rules &rules, int tries)
{
    std::string_view challenge;
    if (run.form == request_form::signed_by_challenge && get_challenge(trip, challenge) != 0)
        return 1;
    const std::size_t length = lay_request(buffer, run.form, password, command, challenge);
    if (length == 0) return 1;
    trip.sent.note(buffer, length);
    const ssize_t sent = send_request(trip, {buffer.data(), length});
    if (sent != static_cast<ssize_t>(length)) {
        report_failure("Could not send UDP packet", length, sent);
        return 1;
    }
    if (rules.pause.count() != 0) note_sent(run.paced, sent_at, burst(run.form, run.family));

    reply_verdict verdict;
    std::size_t received = 0;
    if (const int status = take_reply(trip, buffer, rules, verdict, received); status != 0)
        return status;
    if (verdict.family != server_family::unknown) run.family = verdict.family;
    if (verdict.said == reply_said::text) run.accepted = true;
    if (goes_again(run, sent_at, trip.deadline, verdict.said, tries)) return k_again;
    const bool refused = verdict.said != reply_said::text && verdict.said != reply_said::no_header;
    if (rules.quiet.count() == 0)
        print_reply(buffer.first(received), rules.clean);
    else if (refused)
        finish_stream(last.stream);
    else
        last.open = true;
    if (refused) {
        report_refusal(verdict.said, hint_for(run));
        return 1;
    }
    return verdict.said == reply_said::text ? 0 : k_no_header;
}

/// Waits until the request turned away at `sent_at` may go again, collecting what still
/// comes for it: text makes the refusal the command's output after all. Returns k_again
/// when it may go, 0 when it ran after all, or 1 when told to end, or after printing and
/// reporting the refusal when the bound passed first (telk was stopped).
[[gnu::noinline]] int wait_to_retry(round_trip &trip, instant sent_at, const exchange_rules &rules)
{
    const bool collecting = rules.quiet.count() > 0;
    last.open = collecting;
    wait_until_turn(retry_at(sent_at));
    last.open = false;
    drained = false; // the retry drops what waits itself
    if (collecting && judge_stream(last.stream).said == reply_said::text) {
        run.accepted = true;
        last.open = true;
        return 0;
    }
    if (stop_signal() != 0) return 1;
    if (collecting && now() >= trip.deadline) {
        finish_stream(last.stream);
        report_refusal(reply_said::refused_or_limited, hint_for(run));
        return 1;
    }
    drop_waiting(trip);
    return k_again;
}

} // namespace

int start_exchanges(int sock, int family, const exchange_rules &rules)
{
    run.bound = rules.bound;
    run.form = rules.form;
    run.form_given = rules.form_given;
    // The first receive that waits this long without a datagram goes on waiting after the
    // server has been asked why (see silence.hpp).
    const bool early = decisive_family(run) != server_family::unknown;
    return prepare_socket(sock, family, question_delay(rules.bound, early),
                          rules.quiet.count() > 0);
}

int send_command(int sock, const target &to, std::string_view password, std::string_view command,
                 const exchange_rules &rules)
{
    // The request, then the reply over it. Static, like the scratch datagram: a 32 KiB frame
    // would be probed page by page under stack clash protection, and all of it made resident.
    static std::array<char, k_exchange_size> buffer;
    instant sent_at = wait_for_turn(rules);
    if (stop_signal() != 0) return 1;
    round_trip trip{sock, to, sent_at + rules.bound, run};
    if (rules.quiet.count() > 0) {
        if (!std::exchange(drained, false)) drop_waiting(trip);
        last = open_reply{.sock = sock, .to = &to, .deadline = trip.deadline};
    }
    for (int tries = 0;; ++tries) {
        int status = try_once(trip, buffer, sent_at, password, command, rules, tries);
        if (status == k_again) status = wait_to_retry(trip, sent_at, rules);
        if (status != k_again && status != k_again_now) return status;
        trip.on_socket_bound = false;
        trip.heard = false;
        trip.decisive = server_family::unknown;
        sent_at = now();
    }
}

void end_reply()
{
    if (!std::exchange(last.open, false)) return;
    straggler.held = false;
    finish_stream(last.stream);
}
