// The steps of a server's round trip that its two files share: the state's own moves
// (trip.cpp) and its reply's rules (trip_reply.cpp). Drivers move a round trip by its events
// (trip.hpp) and need none of these.
#pragma once

#include "reply.hpp"
#include "trip.hpp"

#include <span>

/// Whether `t` says what goes wrong as it happens: one target does; a server of a list is
/// named once, with its cause, at the run's end.
inline bool says(const trip &t) { return t.label.empty(); }

/// Tells the driver of `t` that its exchange ended as `result`.
void tell_ended(trip &t, outcome result);

/// Ends the exchange of `t` as `result`: it is idle, unless it failed.
void end_with(trip &t, outcome result);

/// Ends the command of `t`, failed for `reason` (null: for the system's error in `t.error`,
/// or told to end): no further one goes.
void fail(trip &t, outcome result, const char *reason = nullptr);

/// What a refusal of the third family may mean besides a wrong password, by what the run
/// knows of `server`.
refusal_hint hint_for(const server_state &server);

/// Whether the request of `t` that the server turned away, as `said`, goes again a pace later,
/// before the bound: when a request of the run was taken (the limit spoke), the first time (it
/// may have), and once hashed when plain requests were refused twice and telk chooses the form,
/// which it notes.
bool goes_again(trip &t, reply_said said);

/// When `t` next wants a look while its request waits for an answer.
instant next_look(const trip &t);

/// The time of `t` has come, `now_at`, while its request waits for an answer.
void waited(trip &t, instant now_at);

/// A datagram that reached the run at `arrived` while `t` waits for its challenge.
void challenge_datagram(trip &t, std::span<const char> datagram, instant arrived);

/// The reply of `t` is whole: what it said decides what comes next.
void reply_ended(trip &t);

/// Writes out the refusal that the reply of `t` holds, says what `said` means, and fails `t`.
void refuse(trip &t, reply_said said);
