// Standard output, buffered in static storage and written out whole: when it is a
// non-blocking pipe that fills up, telk waits for the reader instead of losing text.
#pragma once

#include "growable.hpp"
#include "protocol.hpp"

#include <string_view>

/// Notes whether standard output is a terminal, and whether it shows colours there (unless
/// NO_COLOR is set and not empty). Call once, before anything is written.
void start_output();

/// Whether standard output is a terminal.
bool output_is_terminal();

/// Appends `text` to standard output. Once a write has failed, nothing more is written.
void write_out(std::string_view text);

/// Has what would go to standard output appended to `into` instead, as to a pipe (clean text
/// without colours), until called with nullptr.
void capture_output(text_buffer *into);

/// Starts a reply's clean text, in `dialect`; without `opening`, the text is a later line of a
/// reply, whose opening has gone.
void start_clean_text(text_dialect dialect, bool opening = true);

/// Appends the next piece of the reply's text as clean text: without its opening, and with
/// colour codes dropped, or shown as colours on a terminal until the end of their line. On a
/// terminal, control bytes other than newline and tab are shown in caret notation (^[), and
/// raw C1 controls (0x80 to 0x9F that are not part of valid UTF-8) and the UTF-8 forms of
/// U+0080 to U+009F in M- notation (M-^[), so that a reply cannot steer it; valid UTF-8
/// passes whole. In the 'n' dialect, other bytes read in its character set: from 0x80 up as
/// their low seven bits, 0x10 to 0x1B as brackets and digits. A code or a sequence split
/// across pieces is read as one.
void write_clean_piece(std::string_view piece);

/// Ends the reply's clean text: what it held back is text, a colour goes off, and a newline
/// follows unless the text is empty or ends with one itself.
void end_clean_text();

/// Writes out everything appended so far. Returns 0, or 1 once any write has failed.
int flush_out();

/// The error number of the first write that failed, or 0 while none has.
int output_error();

/// Writes out everything appended so far. Returns `status`, or 1 after reporting on standard
/// error that standard output lost text.
int check_output(int status);

/// Writes `message` to standard output, where telk's plain answers go (standard error once
/// keep_output_for_json was called), and returns `status`, or 1 when it could not be written.
int say(std::string_view message, int status);

/// Has say write to standard error from now on: standard output holds JSON and nothing else.
void keep_output_for_json();

/// Shows `line` on standard error, a terminal, in place of the one shown before: a line of
/// progress, erased before standard output is next written (or by erase_status).
void show_status(std::string_view line);

/// Whether a line that show_status wrote is still shown.
bool status_shown();

/// Erases the line that show_status wrote, if it is still shown.
void erase_status();
