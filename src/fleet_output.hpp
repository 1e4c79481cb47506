// What a run of several servers writes: each reply's lines behind its server's label, or a
// JSON object an exchange, and the servers that failed.
#pragma once

#include "protocol.hpp"

#include <chrono>
#include <string_view>

/// What came of an exchange, as -j names it.
enum class outcome : unsigned char { ok, refused, timeout, unreachable, error };

/// One exchange with a server of the run, as it is written out.
struct exchange_record {
    std::string_view label;   // the target as the user wrote it
    std::string_view address; // where the request went: "192.0.2.10:27960"
    std::string_view command;
    outcome result = outcome::ok;
    server_family family = server_family::unknown;
    std::chrono::milliseconds took{}; // from the request's send to the reply's end
    std::string_view text;            // the reply's text as it came, openings left out
};

/// Writes the exchange `e` to standard output: its text (as clean text with `clean`) a line
/// at a time behind its label, a reply without a final newline ended by one; or with `json`,
/// as one JSON object on a line of its own, its text as clean text. Writes it out at once.
void write_exchange(const exchange_record &e, bool clean, bool json);

/// Writes `label` and ": " in front of a message on standard error.
void label_message(std::string_view label);
