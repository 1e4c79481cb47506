// How often requests may go to a server: a least pause between them, and a leaky bucket that
// lets as many through at once as the server's family takes, then one a second.
#pragma once

#include "protocol.hpp"
#include "request.hpp"

#include <chrono>

/// One request a second, with a margin for the server's clock.
inline constexpr instant k_pace_interval = std::chrono::milliseconds(1050);

/// The requests sent to one server so far.
struct pace {
    long sent = 0;
    instant last_sent{};
    instant due{}; // when the bucket will have let out every request counted in it
};

/// How many requests in `form` a server of `family` (as its last reply showed it) takes at
/// once before it takes one a second; 0 for no limit. Plain requests keep to the first
/// family's allowance until a reply shows another family.
long burst(request_form form, server_family family);

/// When the next request may go: `least_pause` after `now` (but for the first request), and
/// when a bucket of `burst` requests lets it through. The bucket holds no more than `burst`,
/// whatever went before while the server took more.
instant next_turn(const pace &p, instant now, std::chrono::microseconds least_pause, long burst);

/// Counts a request sent at `sent_at` to a server that takes `burst` at once; with no limit
/// (0), it fills no bucket.
void note_sent(pace &p, instant sent_at, long burst);
