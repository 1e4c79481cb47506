// Many servers in one run: every command to every server, the servers' round trips at once,
// each a small state moved on by its datagrams and its times from one loop over a few sockets.
#pragma once

#include "exchange.hpp"
#include "growable.hpp"
#include "target_list.hpp"

#include <span>
#include <string_view>

/// How a run of several servers writes what came.
struct fleet_output {
    /// One JSON object a line for each exchange, and nothing else on standard output.
    bool json = false;
};

/// Sends each of `commands` to each of `members`, with `password` unless it has its own (in
/// `texts`), as `rules` say: the servers at once, each with its own bound, pace, family, form
/// and retries, and each one's commands in order; a server whose exchange failed gets no
/// further command. Writes each reply as it ends, each line behind its server's label (or as
/// `output` says), messages on standard error behind the label too, and at the end a line for
/// each server that failed. Only datagrams from a member's address and port count, for it.
/// Returns the run status: 0 when every exchange on every server went through.
[[gnu::cold]] int run_fleet(std::span<const member> members, const text_buffer &texts, std::string_view password,
              std::span<const std::string_view> commands, const exchange_rules &rules,
              fleet_output output);
