// Each server's allowance kept across runs: when this user's runs last sent it requests, and
// what they learnt of its family and form, so that a script that calls telk once a command
// keeps to the server's pace as one run would.
#pragma once

#include "target.hpp"
#include "trip.hpp"

#include <span>

/// A server of the run and what the run knows of it.
struct paced_server {
    const target *to;
    server_state *known;
};

/// Reads what earlier runs kept of `servers` into each one's `known` (its pace; its family
/// and form, unless -s gave the form), and claims the place of each one's first request in
/// its bucket, as `rules` pace it, so that runs side by side never both take the last one.
/// The state lives in $XDG_RUNTIME_DIR/telk (or a folder of the user's own in /tmp); a folder
/// or file that is not the user's own, a link, or a file that does not parse is ignored, and
/// nothing is said: the run then paces within itself. Nothing is read when -i 0 turned pacing
/// off. Returns whether the state was read (and is to be written back).
[[gnu::cold]] bool take_kept_pace(std::span<const paced_server> servers,
                                 const exchange_rules &rules);

/// Writes what the run knows of `servers` back into the state that take_kept_pace read (only
/// when it did), beside what other runs kept of other servers meanwhile.
[[gnu::cold]] void keep_pace(std::span<const paced_server> servers);
