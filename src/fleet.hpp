// Many servers in one run: every command to every server, each server's round trip a state of
// its own, all moved on by one loop over a few sockets and a heap of their times.
#pragma once

#include "growable.hpp"
#include "target_list.hpp"
#include "trip.hpp"

#include <cstddef>
#include <span>
#include <string_view>

/// How a run of several servers writes what came.
struct fleet_output {
    /// One JSON object a line for each exchange, and nothing else on standard output.
    bool json = false;
    /// Each command's replies once every server is done with it, the same ones once.
    bool gather = false;
};

/// The commands of a run of several servers, in order: those given, and those that standard
/// input brings while the run goes on.
struct command_list {
    text_buffer text;           // the commands' bytes, one after another
    growable<std::size_t> ends; // where each command ends in `text`
    /// Takes what standard input has brought, by one read that does not wait: adds the
    /// commands of its whole lines. At the end of input, or after reporting why no more may
    /// come (returning 1), it sets itself to null. Null: no more commands come.
    int (*read_more)(command_list &) = nullptr;
    /// read_more waits for a whole line (typed at the console): it is called once every server
    /// waits for a command, and standard input is not watched.
    bool whole_lines = false;

    std::size_t size() const { return ends.size(); }
    std::string_view operator[](std::size_t i) const
    {
        const std::size_t start = i == 0 ? 0 : ends[i - 1];
        return {text.data() + start, ends[i] - start};
    }
    void add(std::string_view command)
    {
        text.append(command);
        ends.push(text.size());
    }
};

/// Sends each of `commands` to each of `members`, with `password` unless it has its own (in
/// `texts`), as `rules` say: the servers at once, each with its own bound, pace, family, form
/// and retries, and each one's commands in order; a server whose exchange failed gets no
/// further command, and one that has run every command waits while standard input may bring
/// more (standard input is read only then). Writes each reply's lines behind its server's
/// label as they come (or as `output` says), messages on standard error behind the label too,
/// and at the end a line for each server that failed. Only datagrams from a member's address
/// and port count, for it. Told to end, writes what each reply in flight had brought.
/// Returns the run status: 0 when every exchange on every server went through.
[[gnu::cold]] int run_fleet(std::span<const member> members, const text_buffer &texts,
                            std::string_view password, command_list &commands,
                            const exchange_rules &rules, fleet_output output);
