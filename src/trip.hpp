// A server's round trip: one small state, moved on by its events (its time coming, a datagram
// from it, an answer to the question why it is silent, an error report, the run told to end).
// Every rule of an exchange lives here once; a driver waits and hands the events over.
#pragma once

#include "growable.hpp"
#include "pacing.hpp"
#include "protocol.hpp"
#include "reply.hpp"
#include "request.hpp"
#include "target.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>

#include <sys/types.h>

/// The longest an exchange may take unless the command line says otherwise.
inline constexpr std::chrono::microseconds k_exchange_bound = std::chrono::seconds(10);

/// How long a server must have been quiet to end a reply unless the command line says
/// otherwise: a real server sends a long reply's pieces within a millisecond, and those of a
/// map change within about 90 ms.
inline constexpr std::chrono::microseconds k_quiet_time = std::chrono::milliseconds(100);

/// How every exchange of a run goes.
struct exchange_rules {
    /// The longest an exchange may take, counted from its send.
    std::chrono::microseconds bound = k_exchange_bound;
    /// Zero: a reply ends at a newline. Otherwise it ends once the server has been quiet this
    /// long, by the datagrams' arrival; later datagrams lose their repeated opening; its text is
    /// printed as it comes, and what comes before the next request leaves is still its own.
    std::chrono::microseconds quiet = k_quiet_time;
    /// Print each reply as clean text (see write_clean_piece).
    bool clean = false;
    /// How requests are laid out; replies are read in the dialect they open with.
    request_form form = request_form::rcon;
    /// The form was asked for (-s): it never changes. Otherwise plain requests go until the
    /// server's answer shows that it wants signed or hashed ones.
    bool form_given = false;
    /// The least pause before every request but the first; requests are also spaced as the
    /// server's family allows, unless this is 0; negative: none but that. Even at 0, a
    /// request that the third family turned away as over its limit is sent again.
    std::chrono::microseconds pause{-1};
};

/// What send_command returns for a reply that was not of this protocol (no header): the
/// run fails, but its later commands are still sent.
inline constexpr int k_no_header = 2;

/// What the run knows of a server from its answers so far, and how requests go to it.
struct server_state {
    pace paced;
    server_family family = server_family::unknown; // as the last reply told it
    bool accepted = false; // a request was taken: a refusal of the third family after that
                           // is its limit speaking
    request_form form = request_form::rcon;
    bool form_given = false;
    bool signed_by_telk = false; // the second family answered, so telk signs its requests
    instant earlier_runs{}; // when this user's earlier runs last sent it a request; 0: never
};

/// When a silent server's answer may change how requests go, it is asked this soon, so that
/// a server of signed requests is known within a second.
inline constexpr std::chrono::microseconds k_early_question = std::chrono::milliseconds(500);

/// How long after its send a request that nothing answers makes telk ask why.
inline std::chrono::microseconds question_delay(std::chrono::microseconds bound, bool early)
{
    return early ? std::min(bound / 2, k_early_question) : bound / 2;
}

/// How much of a request is kept to tell the request sent back from a reply.
inline constexpr std::size_t k_echo_prefix = 32;

/// A request as it went: its length and first bytes, enough to tell it sent back from a reply
/// without a copy of every request.
struct sent_request {
    std::size_t length = 0;
    std::array<char, k_echo_prefix> opening; // filled as it goes

    /// Notes the request at the start of `room`, `size` bytes; `room` holds k_echo_prefix.
    void note(std::span<const char> room, std::size_t size)
    {
        length = size;
        std::memcpy(opening.data(), room.data(), k_echo_prefix);
    }

    /// Whether `datagram` is this request sent back.
    bool echoed_by(std::span<const char> datagram) const
    {
        return length > 0 && datagram.size() == length &&
               std::memcmp(datagram.data(), opening.data(),
                           std::min(datagram.size(), k_echo_prefix)) == 0;
    }
};

/// What came of an exchange, as -j names it.
enum class outcome : unsigned char {
    ok,
    refused,
    timeout,
    unreachable,
    error,
    interrupted,
    unresolved, // a member of a list whose name is not known: nothing went
};

/// Where a round trip stands.
enum class step : unsigned char {
    idle,      // no command in flight; its last reply may still be open
    turn,      // its command waits for its turn; its last reply may still be open
    challenge, // waiting for the challenge to sign the request with
    reply,     // waiting for the reply, collecting it
    retry,     // turned away: waiting to send again, collecting what still comes
    failed,    // an exchange failed: no further command
};

struct trip;

/// What a driver does for its round trips.
struct trip_io {
    /// A send for `t` failed, after `tries` earlier ones: takes off the errors the system
    /// queued about datagrams sent earlier, which fail a send that has nothing wrong with it.
    /// Returns whether to send again. Keeps errno.
    bool (*send_failed)(trip &t, int tries);
    /// Asks the server of `t` why it is silent, from a socket of the question's own. Returns
    /// whether the question went out.
    bool (*ask)(trip &t);
    /// The exchange of `t` has ended as `result` says: its text is all written, to standard
    /// output or into its sink.
    void (*ended)(trip &t, outcome result);
};

/// Holds the first line that a reply's later datagrams repeat.
inline constexpr std::size_t k_opening_size = 64;

/// One server's round trips, one command after another.
struct trip {
    // Set by the driver before the first command.
    const target *to = nullptr;
    std::string_view label; // in front of every message; empty: none
    std::string_view password;
    const exchange_rules *rules = nullptr;
    const trip_io *io = nullptr;
    int sock = -1; // where its datagrams go from
    /// Where the reply's text goes, as it would go into a pipe; null: to standard output as it
    /// comes, each reply ended by a newline.
    text_buffer *sink = nullptr;
    /// k_exchange_size bytes: each request is laid out there and sent at once, and a reply
    /// read to a newline (-q 0) is received over it.
    std::span<char> room;
    std::size_t id = 0; // the driver's

    server_state known;
    std::string_view command;
    step at = step::idle;
    instant timer = instant::max(); // when it next wants a look
    instant started{};              // the command's first request left
    instant sent_at{};              // this try's request left
    instant deadline{};             // the command's bound
    instant probe_at{};             // nothing heard by then: the server is asked why
    instant asked_at{};
    instant sign_at = instant::max(); // the second family answered: then the request goes signed
    instant quiet_end{};
    instant last_arrival{};
    int tries = 0;
    std::size_t received = 0; // bytes of a reply read to a newline
    int status = 0;           // of the last command: 0, 1, or k_no_header
    int error = 0;            // the system's reason it failed, or 0
    const char *reason = nullptr; // why it failed in plain words; null: error says it
    bool open = false;        // its last reply, collected until quiet, is not ended yet
    bool heard = false;       // a datagram came for this try
    bool asked = false;       // the question why it is silent was planned and is past
    bool question_out = false;
    bool answered = false;
    bool challenged = false; // this try asked for a challenge
    server_family answer = server_family::unknown;
    server_family decisive = server_family::unknown; // whose answer changes how requests go
    sent_request sent;
    reply_stream stream{};
    std::array<char, k_opening_size> opening{};
};

/// The family whose answer to the question why a server is silent changes how requests go to
/// it: the second family's while telk may still sign them, the first family's when told to sign
/// them by time; unknown when none would.
server_family decisive_family(const server_state &server);

/// Readies `t` for the run's first command: what the run's rules say of its form.
void start_trip(trip &t);

/// Gives idle `t` its next command, `command`, which the caller keeps: it goes once its turn
/// has come (see on_time), and the last reply stays open until then.
void start_command(trip &t, std::string_view command, instant now_at);

/// Whether `t` has a command in flight.
inline bool busy(const trip &t) { return t.at != step::idle && t.at != step::failed; }

/// Whether replies of `t` are collected until quiet, rather than read to a newline.
inline bool collects(const trip &t) { return t.rules->quiet.count() > 0; }

/// Where the next datagram for `t` is best received: in place in its room when it is being read
/// to a newline, else in `scratch`. Cut to that room's size.
std::span<char> receive_room(const trip &t, std::span<char> scratch);

/// Moves `t` on once its time has come: its turn, the question, the end of its reply, a retry,
/// or its bound. The driver hands over first every datagram that reached its socket by then.
void on_time(trip &t, instant now_at);

/// A datagram from the server of `t` that reached the run's socket at `arrived`. While `t` is
/// idle, it is passed over: whether it belongs to the open reply is known only once the next
/// command's turn is (see start_command).
void on_datagram(trip &t, std::span<const char> datagram, instant arrived);

/// An answer to the question why `t` is silent, that showed `family` (unknown: none).
void on_answer(trip &t, server_family family, instant arrived);

/// The system reported that the server of `t` cannot be reached, for `error`.
void on_unreachable(trip &t, int error);

/// The run was told to end: what came is written out, and nothing more is waited for.
void on_end(trip &t);

/// Ends the open reply of `t`: writes out what it held back, and says how it ended.
void end_open(trip &t);

/// Reports a failed call in perror form: `action`, what was tried and what came back.
void report_failure(const char *action, std::size_t tried, ssize_t rc);
