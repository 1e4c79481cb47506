// What a reply's datagrams say: its header, its family and dialect, its pieces, the zero byte
// that ends a datagram of the third family, a refusal; and its text handed to output.
#pragma once

#include "output.hpp"
#include "protocol.hpp"

#include <cstddef>
#include <span>
#include <string_view>

/// What a whole reply said.
enum class reply_said {
    text,
    /// It did not open with the header: complained of on standard error.
    no_header,
    /// The first family refused the password.
    refused_password,
    /// The first family has no password set.
    no_password_set,
    /// The third family refused the password, or took no more requests for the moment.
    refused_or_limited,
};

/// What a reply said, and which family of servers it came from.
struct reply_verdict {
    reply_said said = reply_said::text;
    server_family family = server_family::unknown;
};

/// The dialect of a reply whose text is `text`: the 'n' dialect when it opens with 'n'.
inline text_dialect dialect_of(std::string_view text)
{
    return text.starts_with('n') ? text_dialect::marker_n : text_dialect::print_line;
}

/// The text of `reply`, received whole and opening with the header: what follows the header,
/// but for the zero byte that ends a datagram of the 'n' dialect.
inline std::string_view text_of(std::string_view reply)
{
    reply.remove_prefix(k_header.size()); // substr would bring in the C++ library's exceptions
    if (dialect_of(reply) == text_dialect::marker_n && reply.ends_with('\0')) reply.remove_suffix(1);
    return reply;
}

/// Ends a reply's text on standard output: a newline, or with `clean` the end of clean text.
/// A reply shows at a terminal as soon as it is complete.
void end_text(bool clean);

/// Whether the reply whose datagrams lie one after the other in `buffer`, `received` bytes
/// of it, is complete: once the buffer is full, at a newline once more than the header has
/// come, or, in the dialect of replies that open with 'n', at a zero byte that ends a
/// datagram. That byte is no part of its text.
bool reply_complete(std::span<const char> buffer, std::size_t received);

/// What the reply `reply`, received whole, says and which family it comes from.
reply_verdict judge_reply(std::span<const char> reply);

/// Says on standard error that a reply did not open with the header.
void complain_of_header();

/// Writes everything behind the header of `reply` to standard output, or with `clean` that
/// text as clean text in its dialect (see write_clean_piece), then, with `end_line`, one
/// newline (or the end of clean text); without the header, writes a complaint to standard
/// error instead. (Inline: each piped exchange goes through it.)
inline void print_reply(std::span<const char> reply, bool clean, bool end_line)
{
    const std::string_view bytes{reply.data(), reply.size()};
    if (!bytes.starts_with(k_header)) return complain_of_header();
    const std::string_view text = text_of(bytes);
    if (clean) {
        start_clean_text(dialect_of(text));
        write_clean_piece(text);
    } else {
        write_out(text);
    }
    if (end_line) end_text(clean);
}

/// A reply collected until quiet and printed as it comes: its header checked, its text
/// written out but for what may yet turn out to be a refusal to send the request again.
struct reply_stream {
    bool clean;               // its text written as clean text
    std::span<char> room;     // holds the opening
    std::size_t received = 0; // bytes of the reply so far, its header's included
    bool header_ok = true;    // what has come of the header so far is the header
    std::size_t text = 0;     // bytes of its text so far
    std::size_t held = 0;     // of them, not yet written out: copies of a refusal that may
                              // only say "not now"
    unsigned refusals = ~0U;  // the refusals (a bit each) whose copies the text may still be
    server_family family = server_family::unknown; // by its first text
    std::string_view opening{}; // what later datagrams repeat behind their header
};

/// Adds the next datagram to `reply`: a later one loses its header and the repeated opening,
/// a datagram of the 'n' dialect its final zero byte; an empty one is no part of it. The
/// reply's first text, in whichever datagram it comes, tells its family and dialect.
void add_datagram(reply_stream &reply, std::string_view datagram);

/// Whether `reply` holds more than the header.
inline bool has_text(const reply_stream &reply) { return reply.received > k_header.size(); }

/// What the collected `reply` says and which family it comes from: a refusal when its text is
/// a refusal and nothing else, copies of it included.
reply_verdict judge_stream(const reply_stream &reply);

/// Ends `reply`: writes out what it held back and, with `end_line`, ends its text; or
/// complains that it had no header.
void finish_stream(reply_stream &reply, bool end_line);

/// A reply's `text` (what follows the header) as -c writes it into a pipe, in `into`: without
/// its opening and colour codes. Returns it.
std::string_view clean_text(std::string_view text, text_buffer &into);

/// What a refusal may mean besides a wrong password, by what went before it.
enum class refusal_hint {
    none,
    /// The third family refused a plain request: it may want hashed ones.
    try_hashed,
    /// The third family refused a hashed request that telk was told to send: it may take
    /// plain ones only.
    leave_form,
    /// The server has taken requests of this run: it refused this one as over its limit.
    limited,
};

/// What a refusal `said` means, with `hint`, as what the server did: "refused the password".
const char *refusal_meaning(reply_said said, refusal_hint hint);
