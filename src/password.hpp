// Where the password of a run comes from: the command line, or the first line of a file.
#pragma once

#include <string_view>

/// Moves the password out of `argument` into telk's own storage and overwrites it there with
/// zero bytes, so that the process list (ps, /proc/PID/cmdline) no longer shows it, in
/// interactive mode possibly for hours. Returns the password.
std::string_view hide_password(char *argument);

/// Reads the password from the first line of the file at `path` into telk's own storage,
/// without its line end (LF, CR LF, or a CR that ends the file); every other byte is kept.
/// A path that names one of telk's open descriptors (/dev/stdin, /dev/fd/N, /proc/self/fd/N)
/// is read on that descriptor, from where it stands, and what follows the line stays there
/// for whoever reads it next, as with any file that is not a regular one. A terminal is read
/// with a prompt on standard error and echo off. A regular file that others than its owner
/// can read is warned of. Returns 0, or 1 after reporting why the file could not be read.
int read_password_file(const char *path, std::string_view &password);
