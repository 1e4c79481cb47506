// The round trip of one request: its pace, its send, the datagrams of its reply within the
// bound, and what the server's answer says of the form it wants.
#include "exchange.hpp"
#include "datagrams.hpp"
#include "output.hpp"
#include "pacing.hpp"
#include "protocol.hpp"
#include "reply.hpp"
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

constexpr std::size_t k_error_text_size = 64;
/// Holds any UDP datagram whole.
constexpr std::size_t k_datagram_size = 65536;
/// Room on the socket for the datagrams of a long reply that come while telk writes out
/// earlier ones: about 400 of a kilobyte.
constexpr int k_burst_room = 1 << 20;
/// More datagrams than the largest receive buffer the system grants can hold.
constexpr int k_late_reads = 1 << 16;
/// When a silent server's answer may change how requests go, it is asked this soon, so that
/// a server of signed requests is known within a second.
constexpr microseconds k_early_question = std::chrono::milliseconds(500);
/// How much of a request is kept to tell the request sent back from a reply.
constexpr std::size_t k_echo_prefix = 32;

/// What next_datagram returns besides a datagram's length.
constexpr ssize_t k_failed = -1;         // errno says why
constexpr ssize_t k_probe_answered = -2; // the question's answer changes how requests go
constexpr ssize_t k_echoed = -3;         // the datagram was the request, sent back

/// What came of one try at an exchange, when it is not the exchange's status.
constexpr int k_again = k_no_header + 1;     // turned away: the request may go again later
constexpr int k_again_now = k_no_header + 2; // the server wants another form: at once

/// Datagrams received only to be cut, collected or dropped. Static, like the exchange buffer:
/// on the stack it would make every run's stack pages resident, collecting or not.
std::array<char, k_datagram_size> scratch;

/// What the run knows of its server from its answers so far, and how requests go to it.
struct {
    microseconds bound{};
    pace paced;
    server_family family = server_family::unknown; // as the last reply told it
    bool accepted = false; // a request was taken: a refusal of the third family after that
                           // is its limit speaking
    request_form form = request_form::rcon;
    bool form_given = false;
    bool signed_by_telk = false; // the second family answered, so telk signs its requests
} run;

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
struct {
    bool held = false;
    std::size_t length = 0;
    instant arrived{};
} straggler;

/// Reports a failed call in perror form: `action`, what was tried and what came back.
void report_failure(const char *action, std::size_t tried, ssize_t rc)
{
    std::array<char, k_error_text_size> text;
    std::snprintf(text.data(), text.size(), "%s (tried=%d, rc=%d)", action, static_cast<int>(tried),
                  static_cast<int>(rc));
    std::perror(text.data());
}

/// One request on its way: where it went, and when its reply must be complete.
struct round_trip {
    round_trip(int socket, const target &target, instant bound_end)
        : sock(socket), to(target), deadline(bound_end)
    {
    }

    int sock;
    const target &to;
    instant deadline;
    /// If nothing has come by then, the server is asked why (see silence.hpp); planned once
    /// the first wait is longer than the socket's own.
    instant probe_at{};
    bool question_planned = false;
    /// The answer to the question whose family changes how requests go, if any.
    server_family decisive = server_family::unknown;
    /// The next receive may wait by itself, bounded by the socket, whose bound starts with the
    /// receive: true only while nothing has taken time since the deadline was set.
    bool on_socket_bound = true;
    /// How many more datagrams may be taken that were queued when their wait had run out:
    /// more than the socket can hold, and yet an end to a flood.
    int late_reads_left = k_late_reads;
    /// The next receive takes what was queued once its wait had run out.
    bool late = false;
    /// How often telk had been continued after a stop when the exchange began.
    unsigned long continues_then = continues();
    bool heard = false; // a datagram of the reply, or of the challenge, came
    /// The request as it went: its length and first bytes, to tell it sent back.
    std::size_t sent_length = 0;
    std::array<char, k_echo_prefix> sent_opening; // filled as it goes
    silence_probe probe{};
};

/// How long after its send a request that nothing answers makes telk ask why.
microseconds question_delay(microseconds bound, bool early)
{
    return early ? std::min(bound / 2, k_early_question) : bound / 2;
}

/// The family whose answer to the question changes how requests go: the second family's when
/// telk may still sign them, the first family's when told to sign them by time.
server_family decisive_family()
{
    if (!run.form_given && run.form == request_form::rcon && run.family == server_family::unknown)
        return server_family::marker_n;
    if (run.form == request_form::signed_by_time) return server_family::print_line;
    return server_family::unknown;
}

/// Reports that receiving for `trip` failed with `rc`; when the server was silent and was
/// asked why, what its answer says follows.
void report_receive_failure(round_trip &trip, ssize_t rc)
{
    const bool silent = rc < 0 && errno == ETIMEDOUT;
    if (rc == 0) errno = 0; // an empty datagram is no error of the system's
    report_failure("Error receiving UDP packet", k_exchange_size, rc);
    if (silent) trip.probe.explain(trip.to, run.signed_by_telk);
}

/// Says that the server answered as servers of plain requests do, though told to sign them.
/// Returns 1.
int say_plain_server()
{
    std::fputs("The server answered as servers of plain requests do: leave -s out\n", stderr);
    return 1;
}

/// Says that the target sent the request back. Returns 1.
int report_echo(const target &to)
{
    target_text room;
    std::fprintf(stderr, "%s sent the request back: it echoes, and is no server of this protocol\n",
                 text_of(to, room));
    return 1;
}

/// Whether `datagram` is the request of `trip` sent back.
bool echoes(const round_trip &trip, std::span<const char> datagram)
{
    return trip.sent_length > 0 && datagram.size() == trip.sent_length &&
           std::memcmp(datagram.data(), trip.sent_opening.data(),
                       std::min(datagram.size(), k_echo_prefix)) == 0;
}

/// Sends `request`. An error that the system noted before, about an earlier datagram, fails
/// the send; it is no failure of this request, so it is taken off and the send tried again.
/// When the socket had no room to queue the error's report, the failed send itself took the
/// error off: one more try tells it from a failure of this request. Returns sendto's result.
ssize_t send_request(round_trip &trip, std::span<const char> request)
{
    // No request leaves after its bound (a stop while a challenge came, say): the server
    // would run it while telk reports that it timed out, and a retry would run it twice.
    if (!trip.on_socket_bound && now() >= trip.deadline) {
        errno = ETIMEDOUT;
        return -1;
    }
    bool tried_again = false; // after a failure with no report queued
    for (;;) {
        const ssize_t sent = sendto(trip.sock, request.data(), request.size(), 0,
                                    &trip.to.address.any, trip.to.length);
        if (sent >= 0 || now() >= trip.deadline) return sent;
        if (!take_errors(trip.sock, trip.to).any && std::exchange(tried_again, true)) return sent;
        trip.on_socket_bound = false;
    }
}

/// Plans when the silent server of `trip` is asked why, and whose answer would change how
/// requests go.
void plan_question(round_trip &trip)
{
    trip.decisive = decisive_family();
    const instant sent_at = trip.deadline - run.bound;
    trip.probe_at = sent_at + question_delay(run.bound, trip.decisive != server_family::unknown);
}

/// Asks the silent server of `trip` why, once it is time, unless the bound has passed: a
/// question asked then would be answered after telk gave up.
void ask_why(round_trip &trip)
{
    if (now() < trip.deadline)
        trip.probe.ask(trip.to);
    else
        trip.probe_at = instant::max();
    if (trip.probe.fd() < 0) trip.decisive = server_family::unknown;
}

/// Takes the answers to the question of `trip` that have come. Returns whether one is the
/// decisive answer; any other family's stops the watch for it.
bool decisive_answer(round_trip &trip)
{
    const server_family answer = trip.probe.take_answers();
    if (answer == trip.decisive) return true;
    if (answer != server_family::unknown) trip.decisive = server_family::unknown;
    return false;
}

/// Waits up to `left` for the socket of `trip`, or for the decisive answer to its question.
/// Returns 1 when the socket can be read, 2 when the decisive answer came, 0 when the wait
/// ended with neither (`timed_out` says whether its time ran out), or -1 when told to end or
/// waiting failed.
int watch(round_trip &trip, microseconds left, bool &timed_out)
{
    std::array<pollfd, 2> watched{{{trip.sock, POLLIN, 0}, {-1, POLLIN, 0}}};
    if (trip.decisive != server_family::unknown) watched[1].fd = trip.probe.fd();
    const timespec limit = as_timespec(left);
    const int ready = ppoll(watched.data(), watched.size(), &limit, nullptr);
    timed_out = ready == 0;
    // interrupted by a stop and continue: wait on; told to end: end
    if (ready < 0) return errno != EINTR || stop_signal() != 0 ? -1 : 0;
    if (watched[1].revents != 0 && decisive_answer(trip)) return 2;
    return watched[0].revents != 0 ? 1 : 0;
}

/// Once a wait's time has passed: what was queued by then may still count, unless the wait
/// already ran out with nothing queued. Returns 1 when something is to be taken late, or 0
/// with errno ETIMEDOUT.
int queued_when_time_passed(round_trip &trip, bool waited_out)
{
    pollfd watched{trip.sock, POLLIN, 0};
    if (!waited_out && trip.late_reads_left > 0 && poll(&watched, 1, 0) > 0) {
        --trip.late_reads_left;
        trip.late = true;
        return 1;
    }
    errno = ETIMEDOUT;
    return 0;
}

/// Waits until something can be received on the socket of `trip`, but not past `until`; once
/// `until` has passed, what is queued already may still count (see next_datagram). Until
/// something comes, the wait stops once to ask the server why not. Returns 1 when something
/// can be received, 2 when the answer to the question is the decisive one, 0 with errno
/// ETIMEDOUT once `until` has passed and nothing is queued, or -1 when waiting failed.
int wait_until(round_trip &trip, instant until)
{
    if (!std::exchange(trip.question_planned, true)) plan_question(trip);
    bool waited_out = false; // a wait that ended with the time found nothing queued
    for (;;) {
        const bool probing = !trip.heard && !trip.probe.asked() && trip.probe_at < until;
        const auto left =
            std::chrono::ceil<microseconds>((probing ? trip.probe_at : until) - now());
        if (left.count() <= 0 && probing) {
            ask_why(trip);
            continue;
        }
        if (left.count() <= 0) return queued_when_time_passed(trip, waited_out);
        bool timed_out = false;
        const int ready = watch(trip, left, timed_out);
        if (ready != 0) return ready;
        waited_out = timed_out && !probing;
    }
}

/// Whether the datagram just received at `arrived` (stamped) or now, late or not, reached the
/// socket of `trip` by `until`. (This and the next two are inlined, whatever the compiler would
/// choose: each piped exchange goes through them.)
[[gnu::always_inline]] inline bool in_time(const round_trip &trip, instant until, const instant *arrived, bool got_late)
{
    if (arrived != nullptr) return *arrived <= until;
    return !got_late || now() < until || came_by(trip.sock, until);
}

/// Sets errno to `error`. Returns k_failed.
ssize_t fail_with(int error)
{
    errno = error;
    return k_failed;
}

/// Receives one datagram of `trip` into `room`, waiting on the socket's own bound when
/// `blocking`; with `arrived`, stamps its arrival there.
[[gnu::always_inline]] inline ssize_t receive_one(const round_trip &trip, std::span<char> room, bool blocking, instant *arrived)
{
    if (arrived != nullptr) return receive_stamped(trip.sock, room, blocking, *arrived);
    return recvfrom(trip.sock, room.data(), room.size(), blocking ? 0 : MSG_DONTWAIT, nullptr,
                    nullptr);
}

/// What the datagram of `length` bytes just received into `room` is: one that came after
/// `until` is none (stamped, it is held for the next request's wait), and the request sent
/// back is no reply. Returns `length`, k_echoed, or k_failed with ETIMEDOUT.
[[gnu::always_inline]] inline ssize_t take_arrival(round_trip &trip, std::span<char> room, ssize_t length, instant until,
                     const instant *arrived, bool got_late)
{
    if (!in_time(trip, until, arrived, got_late)) {
        if (arrived != nullptr && room.data() == scratch.data())
            straggler = {true, static_cast<std::size_t>(length), *arrived};
        return fail_with(ETIMEDOUT);
    }
    const std::span<char> datagram = room.first(static_cast<std::size_t>(length));
    if (!std::exchange(trip.heard, true) && echoes(trip, datagram)) return k_echoed;
    return length;
}

/// Whether a failed receive on the socket of `trip` fails the exchange: only an error the
/// system queued that says the target is unreachable does (errno is then its number). An
/// error with no report queued (the socket had no room for it) was taken off by the failed
/// receive, and says nothing of this request.
bool fails_exchange(const round_trip &trip)
{
    if (errno == EAGAIN || errno == EINTR) return false; // a wait that ended early or was cut
    const queued_errors queued = take_errors(trip.sock, trip.to);
    if (queued.unreachable != 0) errno = queued.unreachable;
    return queued.unreachable != 0;
}

/// Receives the next datagram of the reply into `room`, cut to its size, by `until` at the
/// latest: one that reached the socket in time counts, even when telk was stopped or slow
/// to get to it; one that came later ends the wait, however long a flood. Told to end, it
/// takes only what is queued already. With `arrived`, the datagram's arrival is stamped there,
/// and one that came later is held for the next request's wait. An error the system queued
/// that does not say the target is unreachable is taken off and waited past. Returns the
/// datagram's length, k_echoed, k_probe_answered, or k_failed with errno set: ETIMEDOUT when
/// `until` passed first, EINTR when told to end.
ssize_t next_datagram(round_trip &trip, std::span<char> room, instant until, instant *arrived)
{
    for (;;) {
        // Told to end: what reached the socket in time is still the reply's, but nothing
        // more is waited for.
        const bool ending = stop_signal() != 0;
        if (ending && trip.late_reads_left-- <= 0) return fail_with(EINTR);
        // The first receive of an exchange waits by itself, bounded by the socket, so that a
        // reply in one datagram costs one call; every later one waits for what is left.
        const bool blocking = !ending && std::exchange(trip.on_socket_bound, false);
        if (!ending && !blocking) {
            const int ready = wait_until(trip, until);
            if (ready == 2) return k_probe_answered;
            if (ready <= 0) return k_failed;
        }
        const ssize_t rc = receive_one(trip, room, blocking, arrived);
        // Only what telk got to late, once the wait had run out or after a stop, may have come
        // after `until`.
        const bool got_late = std::exchange(trip.late, false) || ending ||
                              (blocking && continues() != trip.continues_then);
        if (rc >= 0) return take_arrival(trip, room, rc, until, arrived, got_late);
        if (ending) return fail_with(EINTR);
        if (fails_exchange(trip)) return k_failed;
    }
}

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

/// Drops every datagram and error waiting on the socket of `trip`, and the straggler: what
/// came for an earlier request after its reply ended is never read as this one's answer.
void drop_waiting(round_trip &trip)
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
int get_challenge(round_trip &trip, std::string_view &challenge)
{
    const ssize_t sent = send_request(trip, k_ask_challenge);
    if (sent != static_cast<ssize_t>(k_ask_challenge.size())) {
        report_failure("Could not send UDP packet", k_ask_challenge.size(), sent);
        return 1;
    }
    trip.sent_length = 0; // an answer is never the question sent back
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
        if (datagram.starts_with(k_plain_challenge_answer)) return say_plain_server();
        if (!datagram.starts_with(k_challenge_answer)) continue;
        trip.heard = false; // the request's own reply may yet be silent
        challenge = datagram;
        // it starts with the answer: remove_prefix, where substr would bring in exceptions
        challenge.remove_prefix(k_challenge_answer.size());
        challenge = challenge.substr(0, challenge.find('\0'));
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
ssize_t collect(round_trip &trip, reply_stream &reply, instant until, microseconds quiet)
{
    for (instant end = until;;) {
        instant arrived{};
        const ssize_t rc = next_datagram(trip, scratch, end, &arrived);
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
void collect_late_pieces(int sock, const target &to, instant until)
{
    const instant window = std::min(until, last.deadline);
    if (straggler.held && straggler.arrived <= window) {
        straggler.held = false;
        take_piece(last.stream, straggler.length);
    }
    if (!straggler.held && window > last.quiet_end) {
        round_trip trip{sock, to, last.deadline};
        trip.question_planned = true;
        trip.probe_at = instant::max();
        trip.on_socket_bound = false;
        trip.heard = true;
        collect(trip, last.stream, window, {});
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
    const instant turn = rules.pause.count() == 0
                             ? start
                             : next_turn(run.paced, start, rules.pause, burst(run.form, run.family));
    wait_until_turn(turn);
    end_reply();
    return now();
}

/// When a request that went at `sent_at` and was turned away may go again.
instant retry_at(instant sent_at) { return sent_at + k_pace_interval; }

/// What a refusal of the third family may mean besides a wrong password, by what went
/// before it.
refusal_hint hint()
{
    if (run.accepted) return refusal_hint::limited;
    if (sends_password(run.form)) return refusal_hint::try_hashed;
    return run.form_given ? refusal_hint::leave_form : refusal_hint::none;
}

/// How long before the bound a retry must be due to be sent: a sleep may end a little late.
constexpr instant k_retry_margin = std::chrono::milliseconds(10);

/// Whether the request turned away by `verdict` after `tries` earlier tries may go again, within
/// the bound of `trip`: when a request of the run was taken (the limit spoke), the first time
/// (it may have), and once hashed when plain requests were refused twice and telk chooses the
/// form. Notes the change of form.
bool goes_again(const round_trip &trip, instant sent_at, const reply_verdict &verdict, int tries)
{
    if (verdict.said != reply_said::refused_or_limited ||
        retry_at(sent_at) + k_retry_margin >= trip.deadline)
        return false;
    if (run.accepted || tries == 0) return true;
    if (tries > 1 || run.form_given || run.form != request_form::rcon) return false;
    run.form = request_form::hashed_by_time;
    return true;
}

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
        return say_plain_server();
    if (got == k_probe_answered) { // the second family: it ignored the plain request
        run.form = request_form::signed_by_challenge;
        run.signed_by_telk = true;
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
    trip.sent_length = length;
    std::memcpy(trip.sent_opening.data(), buffer.data(), k_echo_prefix); // the buffer is longer
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
    if (goes_again(trip, sent_at, verdict, tries)) return k_again;
    const bool refused = verdict.said != reply_said::text && verdict.said != reply_said::no_header;
    if (rules.quiet.count() == 0)
        print_reply(buffer.first(received), rules.clean);
    else if (refused)
        finish_stream(last.stream);
    else
        last.open = true;
    if (refused) report_refusal(verdict.said, hint());
    if (refused) return 1;
    return verdict.said == reply_said::text ? 0 : k_no_header;
}

/// Waits until the request turned away at `sent_at` may go again, collecting what still
/// comes for it: text makes the refusal the command's output after all. Returns k_again
/// when it may go, 0 when it ran after all, or 1 when told to end, or after printing and
/// reporting the refusal when the bound passed first (telk was stopped).
int wait_to_retry(round_trip &trip, instant sent_at, const exchange_rules &rules)
{
    const bool collecting = rules.quiet.count() > 0;
    last.open = collecting;
    wait_until_turn(retry_at(sent_at));
    last.open = false;
    if (collecting && judge_stream(last.stream).said == reply_said::text) {
        run.accepted = true;
        last.open = true;
        return 0;
    }
    if (stop_signal() != 0) return 1;
    if (collecting && now() >= trip.deadline) {
        finish_stream(last.stream);
        report_refusal(reply_said::refused_or_limited, hint());
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
    const microseconds first_wait =
        question_delay(rules.bound, !rules.form_given || rules.form == request_form::signed_by_time);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(first_wait);
    const timeval limit{seconds.count(), (first_wait - seconds).count()};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        std::perror("Couldn't set UDP socket timeout");
        return 1;
    }
    const int on = 1;
    // An IPv6 socket meets IPv4's errors too, when the target is an IPv4-mapped address.
    const bool v6 = family == AF_INET6;
    if (setsockopt(sock, SOL_IP, IP_RECVERR, &on, sizeof on) != 0 ||
        (v6 && setsockopt(sock, SOL_IPV6, IPV6_RECVERR, &on, sizeof on) != 0)) {
        std::perror("Couldn't set UDP socket error reporting");
        return 1;
    }
    const bool collecting = rules.quiet.count() > 0;
    stamp_arrivals(sock, collecting);
    // A server sends a long reply's datagrams all at once; the system holds no more of them
    // than this while telk writes out the earlier ones. It caps the size at what it allows,
    // silently, so a failure here loses nothing that telk could have had.
    if (collecting) setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &k_burst_room, sizeof k_burst_room);
    return 0;
}

int send_command(int sock, const target &to, std::string_view password, std::string_view command,
                 const exchange_rules &rules)
{
    // The request, then the reply over it. Static, like the scratch datagram: a 32 KiB frame
    // would be probed page by page under stack clash protection, and all of it made resident.
    static std::array<char, k_exchange_size> buffer;
    instant sent_at = wait_for_turn(rules);
    if (stop_signal() != 0) return 1;
    round_trip trip{sock, to, sent_at + rules.bound};
    if (rules.quiet.count() > 0) {
        drop_waiting(trip);
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
