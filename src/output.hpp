// Standard output, buffered in static storage and written out whole: when it is a
// non-blocking pipe that fills up, telk waits for the reader instead of losing text.
#pragma once

#include <string_view>

/// Notes whether standard output is a terminal. Call once, before anything is written.
void start_output();

/// Whether standard output is a terminal.
bool output_is_terminal();

/// Appends `text` to standard output. Once a write has failed, nothing more is written.
void write_out(std::string_view text);

/// Appends the reply text `text` as clean text: without a first line that is exactly
/// "print", and with colour codes (^ and a digit or ASCII letter) dropped, or shown as
/// colours on a terminal. On a terminal, control bytes other than newline and tab, and the
/// UTF-8 forms of U+0080 to U+009F, are shown in caret notation (^[, M-^[) so that a reply
/// cannot steer it. Ends with a newline unless the text is empty or ends with one itself.
void write_clean_text(std::string_view text);

/// Writes out everything appended so far. Returns 0, or 1 once any write has failed.
int flush_out();

/// The error number of the first write that failed, or 0 while none has.
int output_error();

/// Writes out everything appended so far. Returns `status`, or 1 after reporting on standard
/// error that standard output lost text.
int check_output(int status);

/// Writes `message` to standard output, where telk's plain answers go, and returns `status`,
/// or 1 when it could not be written.
int say(std::string_view message, int status);
