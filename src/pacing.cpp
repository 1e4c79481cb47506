// The pace of requests: the least pause, and each family's allowance as a leaky bucket.
#include "pacing.hpp"

#include <algorithm>

namespace {

/// How many requests the first family takes at once before it takes one a second.
constexpr long k_print_line_burst = 10;

/// When the bucket of `burst` requests will have let out every request counted in it.
instant bucket_due(const pace &p, long burst)
{
    return std::min(p.due, p.last_sent + burst * k_pace_interval);
}

} // namespace

long burst(request_form form, server_family family)
{
    if (form == request_form::hashed_by_time || family == server_family::marker_n_zero) return 1;
    if (!sends_password(form) || family == server_family::marker_n) return 0;
    return k_print_line_burst;
}

instant next_turn(const pace &p, instant now, std::chrono::microseconds least_pause, long burst)
{
    instant turn = now;
    if (p.sent > 0 && least_pause.count() > 0) turn += least_pause;
    if (burst > 0) turn = std::max(turn, bucket_due(p, burst) - (burst - 1) * k_pace_interval);
    return turn;
}

void note_sent(pace &p, instant sent_at, long burst)
{
    if (burst > 0) p.due = std::max(bucket_due(p, burst), sent_at) + k_pace_interval;
    ++p.sent;
    p.last_sent = sent_at;
}
