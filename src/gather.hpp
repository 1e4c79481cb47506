// Replies gathered (-b): for each command, the servers whose replies are the same are written
// once, behind one label that names them all.
#pragma once

#include "growable.hpp"

#include <cstddef>
#include <span>
#include <string_view>

/// One server's reply to one command, its text in the gathering's texts.
struct gathered_reply {
    std::size_t command;
    std::size_t server;
    std::size_t at, size;
};

/// The replies of a run of `servers` servers, kept until every server has ended its exchange
/// of a command (or runs no further command); then that command's groups are written.
struct gathering {
    std::span<const std::string_view> labels; // each server's, in the run's order
    bool clean = false;                       // -c: the text as clean text
    text_buffer texts;
    growable<gathered_reply> replies;
    growable<std::size_t> ended; // for each command: the servers done with it
    std::size_t gone = 0;        // servers that run no further command
    std::size_t written = 0;     // the commands written out
};

/// Keeps the reply `text` of `server` to command `command`, its `command`th exchange.
[[gnu::cold]] void gather(gathering &g, std::size_t command, std::size_t server, std::string_view text);

/// Counts a server that runs no further command, after `commands_ended` exchanges.
[[gnu::cold]] void count_gone(gathering &g, std::size_t commands_ended);

/// Writes out, in order, the commands of the `known` so far whose every server is done with
/// them (with `all`, every one): for each, its groups of servers with the same reply, the
/// largest first, each reply's lines behind a label that names its servers (see fold_labels).
[[gnu::cold]] void write_gathered(gathering &g, std::size_t known, bool all);

/// Writes `labels` into `into` as one label, separated by commas, folding those that differ
/// only in their last number (a port, or an address's last part) into one, the numbers in
/// brackets as ranges: "127.0.0.1:[27960-27962,27965],b.example".
[[gnu::cold]] void fold_labels(std::span<const std::string_view> labels, text_buffer &into);
