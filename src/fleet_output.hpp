// What a run of several servers writes: each reply's lines behind its server's label, or a
// JSON object an exchange.
#pragma once

#include "growable.hpp"
#include "protocol.hpp"
#include "trip.hpp"

#include <chrono>
#include <cstddef>
#include <string_view>

/// The most of a reply's text that a JSON object holds; the rest is left out.
inline constexpr std::size_t k_json_text_max = 16 << 20;

/// One exchange with a server of the run, as it is written out.
struct exchange_record {
    std::string_view label;   // the target as the user wrote it
    std::string_view address; // where the request went: "192.0.2.10:27960"; empty: nowhere
    std::string_view command;
    outcome result = outcome::ok;
    server_family family = server_family::unknown;
    std::chrono::milliseconds took{}; // from the command's first request to the reply's end
    std::string_view text;            // the reply's text as it came, openings left out
    bool truncated = false;           // text was left out past k_json_text_max
};

/// Writes the exchange `e` to standard output as one JSON object on a line of its own, its text
/// as clean text into a pipe.
void write_json(const exchange_record &e);

/// Where a reply's labelled lines stand.
struct labelled_lines {
    std::string_view label;
    bool clean = false;
    bool started = false; // a line of the reply is written: its opening has gone by
    text_dialect dialect = text_dialect::print_line;
};

/// Writes the whole lines at the start of `text` (and with `all` the rest too, ended by a
/// newline), each behind the label of `lines`, without the reply's opening (its print line or
/// marker) and its zero bytes, as clean text with its `clean` (shown at a terminal as one
/// target's is); a line longer than k_line_piece comes in pieces of that size.
/// Returns how many bytes of `text` were written.
std::size_t write_lines(labelled_lines &lines, std::string_view text, bool all);

/// The longest piece of a line written behind a label at once.
inline constexpr std::size_t k_line_piece = 64 << 10;

/// Writes `label` and ": " in front of a message on standard error.
void label_message(std::string_view label);
