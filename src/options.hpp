// The options in front of the host, and the help that lists them.
#pragma once

#include "exchange.hpp"
#include "request.hpp"

#include <chrono>

/// What the options in front of the host set.
struct options {
    std::chrono::microseconds wait = k_exchange_bound; // -w: the longest an exchange may take
    std::chrono::microseconds quiet = k_quiet_time;    // -q: collect a reply until quiet this long;
                                                       // 0: to a newline
    std::chrono::microseconds pace{-1};     // -i: the least pause; 0: no pacing; -1: unset
    const char *password_file = nullptr;    // -p: the password is this file's first line
    request_form form = request_form::rcon; // -s: signed, hashed or plain requests
    bool form_given = false;                // -s came: the form never changes
    bool clean = false;                     // -c: replies as clean text
    bool json = false;                      // -j: a JSON object a line for each exchange
    bool gather = false;                    // -b: the same replies of several servers once
    bool help = false;                      // -h, --help: print the help, nothing else
    bool version = false;                   // -V, --version: print the version, nothing else
};

/// Reads the options in front of the host into `opts`; optind is then the host's index.
/// Stops at -h or -V. Returns 0, or 1 after saying on standard error what is wrong.
int read_options(int argc, char *argv[], options &opts);

/// Writes the synopsis and a line for each option to standard output. Returns the exit
/// status: 0, or 1 when it could not be written.
int print_help();
