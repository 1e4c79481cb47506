// The wait of one request for its reply, and its send.
#include "round_trip.hpp"
#include "datagrams.hpp"

#include <algorithm>
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
/// Room on the socket for the datagrams of a long reply that come while telk writes out
/// earlier ones: about 400 of a kilobyte.
constexpr int k_burst_room = 1 << 20;

/// Plans when the silent server of `trip` is asked why, and whose answer would change how
/// requests go.
void plan_question(round_trip &trip)
{
    trip.decisive = decisive_family(trip.server);
    const instant sent_at = trip.deadline - trip.server.bound;
    trip.probe_at =
        sent_at + question_delay(trip.server.bound, trip.decisive != server_family::unknown);
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
[[gnu::always_inline]] inline bool in_time(const round_trip &trip, instant until,
                                           const instant *arrived, bool got_late)
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
[[gnu::always_inline]] inline ssize_t receive_one(const round_trip &trip, std::span<char> room,
                                                  bool blocking, instant *arrived)
{
    if (arrived != nullptr) return receive_stamped(trip.sock, room, blocking, *arrived);
    return recvfrom(trip.sock, room.data(), room.size(), blocking ? 0 : MSG_DONTWAIT, nullptr,
                    nullptr);
}

/// What the datagram of `length` bytes just received into `room` is: one that came after
/// `until` is none (stamped, it is held for the next request's wait), and the request sent
/// back is no reply. Returns `length`, k_echoed, or k_failed with ETIMEDOUT.
[[gnu::always_inline]] inline ssize_t take_arrival(round_trip &trip, std::span<char> room,
                                                   ssize_t length, instant until,
                                                   const instant *arrived, bool got_late)
{
    if (!in_time(trip, until, arrived, got_late)) {
        if (arrived != nullptr) trip.held_back = {true, static_cast<std::size_t>(length), *arrived};
        return fail_with(ETIMEDOUT);
    }
    const std::span<char> datagram = room.first(static_cast<std::size_t>(length));
    if (!std::exchange(trip.heard, true) && trip.sent.echoed_by(datagram)) return k_echoed;
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

} // namespace

void report_failure(const char *action, std::size_t tried, ssize_t rc)
{
    std::array<char, k_error_text_size> text;
    std::snprintf(text.data(), text.size(), "%s (tried=%d, rc=%d)", action, static_cast<int>(tried),
                  static_cast<int>(rc));
    std::perror(text.data());
}

void report_receive_failure(round_trip &trip, ssize_t rc)
{
    const bool silent = rc < 0 && errno == ETIMEDOUT;
    if (rc == 0) errno = 0; // an empty datagram is no error of the system's
    report_failure("Error receiving UDP packet", k_exchange_size, rc);
    if (silent) trip.probe.explain(trip.to, trip.server.signed_by_telk);
}

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

int prepare_socket(int sock, int family, microseconds first_wait, bool collecting)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(first_wait);
    const timeval limit{seconds.count(), (first_wait - seconds).count()};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        std::perror("Couldn't set UDP socket timeout");
        return 1;
    }
    if (report_errors(sock, family) != 0) {
        std::perror("Couldn't set UDP socket error reporting");
        return 1;
    }
    stamp_arrivals(sock, collecting);
    // A server sends a long reply's datagrams all at once; the system holds no more of them
    // than this while telk writes out the earlier ones. It caps the size at what it allows,
    // silently, so a failure here loses nothing that telk could have had.
    if (collecting) setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &k_burst_room, sizeof k_burst_room);
    return 0;
}

server_family decisive_family(const server_state &server)
{
    if (!server.form_given && server.form == request_form::rcon &&
        server.family == server_family::unknown)
        return server_family::marker_n;
    if (server.form == request_form::signed_by_time) return server_family::print_line;
    return server_family::unknown;
}

refusal_hint hint_for(const server_state &server)
{
    if (server.accepted) return refusal_hint::limited;
    if (sends_password(server.form)) return refusal_hint::try_hashed;
    return server.form_given ? refusal_hint::leave_form : refusal_hint::none;
}

int report_plain_server()
{
    std::fputs("The server answered as servers of plain requests do: leave -s out\n", stderr);
    return 1;
}

int report_echo(const target &to)
{
    target_text room;
    std::fprintf(stderr, "%s sent the request back: it echoes, and is no server of this protocol\n",
                 text_of(to, room));
    return 1;
}

void sign_from_now_on(server_state &server)
{
    server.form = request_form::signed_by_challenge;
    server.signed_by_telk = true;
}

/// How long before the bound a retry must be due to be sent: a sleep may end a little late.
constexpr instant k_retry_margin = std::chrono::milliseconds(10);

bool goes_again(server_state &server, instant sent_at, instant deadline, reply_said said, int tries)
{
    if (said != reply_said::refused_or_limited ||
        sent_at + k_pace_interval + k_retry_margin >= deadline)
        return false;
    if (server.accepted || tries == 0) return true;
    if (tries > 1 || server.form_given || server.form != request_form::rcon) return false;
    server.form = request_form::hashed_by_time;
    return true;
}
