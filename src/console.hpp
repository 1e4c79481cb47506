// The console at a terminal: lines edited as in a shell, a history kept across runs, and
// completion of command and variable names from the server's own lists. The line editor is
// loaded only here, so that a run at a pipe maps no more than it needs.
#pragma once

#include "growable.hpp"

#include <string_view>

/// Runs `command` as an exchange outside the run's commands, its reply's text into `reply`
/// and nothing said of it. Returns 0 when a reply came.
using aside_fn = int (*)(std::string_view command, text_buffer &reply);

/// Whether standard input and standard output are both a terminal.
[[gnu::cold]] bool console_wanted();

/// Loads the line editor and reads the history. `prompt` comes before each line; `aside` has
/// the server's lists asked for, at the first Tab. Returns 0, or 1 after saying once that line
/// editing is unavailable (the lines are then read as from a pipe).
[[gnu::cold]] int open_console(std::string_view prompt, aside_fn aside);

/// Reads the next line typed, without its trailing blanks: an empty one is none, and Ctrl-C
/// drops the line being typed. Returns 1 with `command` (valid until the next call), 0 at the
/// end of input (Ctrl-D at an empty line), or -1 when told to end.
[[gnu::cold]] int read_console(std::string_view &command);

/// Keeps `command`, typed and about to go, in the history, unless it begins with a blank (as
/// in shells) or is the line kept last.
[[gnu::cold]] void keep_typed(std::string_view command);

/// Writes the history out (its last 1,000 lines) and hands the terminal back.
[[gnu::cold]] void close_console();
