// Many targets in one run: a comma-separated list where the host stands, or @FILE, a file of
// targets, each with its own password file if it likes.
#pragma once

#include "growable.hpp"
#include "target.hpp"

#include <cstddef>
#include <string_view>

/// One server of a run of several. Its label and password lie in the run's texts.
struct member {
    target to;
    std::size_t label_at = 0, label_size = 0; // the target as the user wrote it
    std::size_t password_at = 0, password_size = 0;
    bool own_password = false; // from its own file; otherwise the run's
    bool resolves = true;      // false: its name is not known, and it fails alone
};

/// Whether `host`, where the host stands, names several targets: a comma-separated list, or
/// @FILE.
bool names_several(const char *host);

/// Finds the targets that `host` names into `members`, in the order given: each part of a
/// comma-separated list (blanks around the commas left out; an empty part is a mistake), or
/// each line of the file that @FILE names (a # at the start or after a blank starts a comment;
/// blank lines skipped; a line is host[:port], then optionally blanks and the path of that
/// server's password file, read as -p reads one; a target's problem is named FILE:LINE). Each target is found as a single one is;
/// the same address and port (or unknown name) named again is left out. A name that does not
/// resolve is kept, marked, to fail alone; any other problem of a target is a typing mistake.
/// Labels and passwords go into `texts`. Returns 0, or 1 after saying why not, naming the
/// target (a target's problems on standard output, as for one target).
[[gnu::cold]] int find_targets(char *host, growable<member> &members, text_buffer &texts);

inline std::string_view label_of(const member &m, const text_buffer &texts)
{
    return {texts.data() + m.label_at, m.label_size};
}

/// The password of `m` from its own file; empty unless it has one.
inline std::string_view own_password_of(const member &m, const text_buffer &texts)
{
    return {texts.data() + m.password_at, m.password_size};
}
