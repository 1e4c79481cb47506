// A round trip's reply: its datagrams taken, collected until quiet or read to a newline, where
// its text goes, what it said, and its end.
#include "output.hpp"
#include "trip.hpp"
#include "trip_steps.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

/// What a server that sends each request back does: it is no server of this protocol.
constexpr const char *k_echoes = "sent the request back: it echoes, and is no server of this protocol";

/// Has what goes to standard output go into the sink of `t`, if it has one, while it lives.
class into_sink {
  public:
    explicit into_sink(const trip &t) : captured_(t.sink != nullptr)
    {
        if (captured_) capture_output(t.sink);
    }
    into_sink(const into_sink &) = delete;
    into_sink &operator=(const into_sink &) = delete;
    ~into_sink()
    {
        if (captured_) capture_output(nullptr);
    }

  private:
    bool captured_;
};


/// Writes out the collected reply's held-back text and its end.
void finish_text(trip &t)
{
    const into_sink sink(t);
    finish_stream(t.stream, t.sink == nullptr);
}

/// Writes out the reply read to a newline. (This and the functions marked so below are
/// inlined, whatever the compiler would choose: each piped exchange goes through them, and a
/// call costs it a tenth of what telk spends on it.)
[[gnu::always_inline]] inline void print_read_reply(trip &t)
{
    const into_sink sink(t);
    print_reply(t.room.first(t.received), t.rules->clean && t.sink == nullptr, t.sink == nullptr);
}

/// Adds `datagram` to the collected reply of `t`, which stays whole until quiet.
void add_piece(trip &t, std::span<const char> datagram, instant arrived)
{
    {
        const into_sink sink(t);
        add_datagram(t.stream, {datagram.data(), datagram.size()});
    }
    t.last_arrival = arrived;
}

/// Appends `datagram` to the reply of `t` read to a newline, cut to the room left.
[[gnu::always_inline]] inline void append_read(trip &t, std::span<const char> datagram)
{
    const std::size_t size = std::min(datagram.size(), t.room.size() - t.received);
    char *at = t.room.data() + t.received;
    if (datagram.data() != at) std::memmove(at, datagram.data(), size);
    t.received += size;
}

/// A datagram for the open reply of `t` while its next command waits for its turn, or for the
/// reply it waits to retry: taken when it came before then and within the reply's bound.
[[gnu::noinline, gnu::cold]] void late_piece(trip &t, std::span<const char> datagram, instant arrived)
{
    if (!collects(t) || arrived > t.deadline || arrived > t.timer) return;
    if (t.open || t.at == step::retry) add_piece(t, datagram, arrived);
}

/// Whether `datagram`, arriving at `arrived`, comes too late for the reply of `t`: its time
/// had come before it. Moves `t` on as that time did.
bool after_its_time(trip &t, instant arrived)
{
    const bool quiet_passed = collects(t) && has_text(t.stream) && arrived > t.quiet_end;
    if (!quiet_passed && arrived <= t.deadline) return false;
    waited(t, quiet_passed ? t.quiet_end : t.deadline);
    return true;
}

/// `t` had its request sent back.
[[gnu::noinline, gnu::cold]] void fail_echo(trip &t)
{
    target_text room;
    if (says(t)) std::fprintf(stderr, "%s %s\n", text_of(*t.to, room), k_echoes);
    fail(t, outcome::error, k_echoes);
}

/// A datagram while `t` waits for its reply.
[[gnu::always_inline]] inline void reply_datagram(trip &t, std::span<const char> datagram,
                                                  instant arrived)
{
    // what came before this request left is an earlier request's (read to a newline, the first
    // try takes anything)
    if ((collects(t) || t.tries > 0) && arrived < t.sent_at) return;
    if (after_its_time(t, arrived)) return on_datagram(t, datagram, arrived);
    if (!std::exchange(t.heard, true) && t.sent.echoed_by(datagram)) return fail_echo(t);
    const std::string_view bytes{datagram.data(), datagram.size()};
    if (t.challenged && bytes.starts_with(k_challenge_answer)) return; // a second answer
    if (collects(t)) {
        if (datagram.empty()) return; // no part of it, and ends no quiet time
        add_piece(t, datagram, arrived);
        if (has_text(t.stream)) t.quiet_end = std::min(t.deadline, arrived + t.rules->quiet);
        t.timer = next_look(t);
        return;
    }
    if (datagram.empty()) { // a receive of nothing: telk's first reading fails there
        errno = 0;
        if (says(t)) report_failure("Error receiving UDP packet", k_exchange_size, 0);
        return fail(t, outcome::error, "sent an empty datagram");
    }
    append_read(t, datagram);
    t.last_arrival = arrived;
    if (reply_complete(t.room, t.received)) reply_ended(t);
}

} // namespace

/// Writes out the refusal that the reply of `t` holds, says what `said` means, and fails `t`.
[[gnu::noinline, gnu::cold]] void refuse(trip &t, reply_said said)
{
    if (collects(t))
        finish_text(t);
    else
        print_read_reply(t);
    const char *meaning = refusal_meaning(said, hint_for(t.known));
    if (says(t)) std::fprintf(stderr, "The server %s\n", meaning);
    fail(t, outcome::refused, meaning);
}

/// The reply of `t` is whole: what it said decides what comes next.
void reply_ended(trip &t)
{
    const reply_verdict verdict =
        collects(t) ? judge_stream(t.stream) : judge_reply(t.room.first(t.received));
    if (verdict.family != server_family::unknown) t.known.family = verdict.family;
    if (verdict.said == reply_said::text) t.known.accepted = true;
    if (goes_again(t, verdict.said)) {
        t.at = step::retry;
        t.timer = t.sent_at + k_pace_interval;
        return;
    }
    if (verdict.said != reply_said::text && verdict.said != reply_said::no_header)
        return refuse(t, verdict.said);
    t.status = verdict.said == reply_said::no_header ? k_no_header : 0;
    if (collects(t)) { // ended at the next turn, when late pieces have come
        t.open = true;
        t.at = step::idle;
        t.timer = instant::max();
    } else if (verdict.said == reply_said::no_header) {
        if (says(t)) complain_of_header();
        end_with(t, outcome::error);
    } else {
        print_read_reply(t);
        end_with(t, outcome::ok);
    }
}

void on_datagram(trip &t, std::span<const char> datagram, instant arrived)
{
    switch (t.at) {
    case step::challenge:
        return challenge_datagram(t, datagram, arrived);
    case step::reply:
        return reply_datagram(t, datagram, arrived);
    case step::turn:
    case step::retry:
        return late_piece(t, datagram, arrived);
    case step::idle: // until its next command is known, no one can tell whose it is
    case step::failed:
        return;
    }
}

void on_end(trip &t)
{
    if (!busy(t)) return end_open(t);
    if (t.at == step::reply && !collects(t) && t.received > k_header.size()) {
        print_read_reply(t);
    } else if ((t.at == step::reply || t.at == step::retry) && collects(t) &&
               has_text(t.stream)) {
        if (t.stream.header_ok) finish_text(t);
    }
    fail(t, outcome::interrupted);
}

void end_open(trip &t)
{
    if (!std::exchange(t.open, false)) return;
    if (t.stream.header_ok) {
        finish_text(t);
        return tell_ended(t, outcome::ok);
    }
    if (says(t)) complain_of_header();
    tell_ended(t, outcome::error);
}
