// What a reply's datagrams say, and its text handed to output.
#include "reply.hpp"
#include "output.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

/// The first family's replies open with this line; later datagrams of a reply repeat it.
constexpr std::string_view k_print_line = "print\n";
/// The second and third families' replies open with this byte, and so do later datagrams.
constexpr char k_marker = 'n';
/// Ends each datagram of the third family.
constexpr char k_zero = '\0';

/// What servers answer a request they refuse, as a reply's whole text.
struct refusal {
    std::string_view text;
    reply_said said;
};
constexpr std::array<refusal, 3> k_refusals{{
    {"print\nBad rconpassword.\n", reply_said::refused_password},
    {"print\nNo rconpassword set on the server.\n", reply_said::no_password_set},
    {"nBad rcon_password.\n", reply_said::refused_or_limited},
}};
static_assert(std::all_of(k_refusals.begin(), k_refusals.end(),
                          [](const refusal &r) { return r.text.size() <= k_refusal_size; }));
/// The refusal that may only say "not now", to be held back until the reply is whole.
constexpr std::string_view k_maybe_limited = k_refusals[2].text;

/// `bytes` without its first `count`, which it holds: remove_prefix throws nothing, where
/// substr would bring the C++ library's exceptions into telk.
std::string_view without_first(std::string_view bytes, std::size_t count)
{
    bytes.remove_prefix(count);
    return bytes;
}

/// What the text `text` says.
reply_said said_by(std::string_view text)
{
    for (const refusal &r : k_refusals)
        if (text == r.text) return r.said;
    return reply_said::text;
}

text_dialect dialect_of(std::string_view text)
{
    return text.starts_with(k_marker) ? text_dialect::marker_n : text_dialect::print_line;
}

/// The family that a reply comes from, by the text of its first datagram, with its zero byte.
server_family family_of(std::string_view text)
{
    if (text.starts_with(k_marker))
        return text.ends_with(k_zero) ? server_family::marker_n_zero : server_family::marker_n;
    return text.starts_with(k_print_line) ? server_family::print_line : server_family::unknown;
}

/// The text of `reply`, received whole: what follows its header, but for the zero byte that
/// ends a datagram of the 'n' dialect.
std::string_view text_of(std::string_view reply)
{
    std::string_view text = without_first(reply, k_header.size());
    if (dialect_of(text) == text_dialect::marker_n && text.ends_with(k_zero)) text.remove_suffix(1);
    return text;
}

/// Ends a reply's text: a newline, or the end of clean text. A reply shows at a terminal as
/// soon as it is complete.
void end_text(bool clean)
{
    if (clean)
        end_clean_text();
    else
        write_out("\n");
    if (output_is_terminal()) flush_out();
}

void complain_of_header() { std::fputs("Invalid buffer header.  Sorry.\n", stderr); }

/// The line of a reply's first datagram that a later datagram of the same reply repeats
/// behind its header: its first line, newline included, copied into `room`, or the marker;
/// empty when it has none or it does not fit.
std::string_view opening_line(std::string_view text, std::span<char> room)
{
    if (dialect_of(text) == text_dialect::marker_n) return {&k_marker, 1};
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos || newline >= room.size()) return {};
    std::copy_n(text.begin(), newline + 1, room.begin());
    return {room.data(), newline + 1};
}

/// What a later datagram adds to a reply: all of it when it has no header, otherwise what
/// follows the header and the repeated `opening`, if it repeats it.
std::string_view piece_text(std::string_view datagram, std::string_view opening)
{
    if (!datagram.starts_with(k_header)) return datagram;
    datagram.remove_prefix(k_header.size());
    if (!opening.empty() && datagram.starts_with(opening)) datagram.remove_prefix(opening.size());
    return datagram;
}

void write_text(const reply_stream &reply, std::string_view text)
{
    if (reply.clean)
        write_clean_piece(text);
    else
        write_out(text);
}

/// Writes out the text that `reply` held back.
void release(reply_stream &reply)
{
    write_text(reply, {reply.start.data(), std::exchange(reply.held, 0)});
}

/// Appends `piece` to `reply`: the bytes of the header it holds are checked, its text
/// printed once the header has come whole, unless it may still be a refusal to try again.
void add_piece(reply_stream &reply, std::string_view piece)
{
    const std::size_t header_part =
        std::min(piece.size(), k_header.size() - std::min(reply.received, k_header.size()));
    reply.header_ok = reply.header_ok && piece.starts_with(k_header.substr(0, header_part));
    const std::size_t at = reply.received + header_part - k_header.size(); // in the text
    reply.received += piece.size();
    const std::string_view text = without_first(piece, header_part);
    if (!reply.header_ok || text.empty()) return;
    if (at < reply.start.size())
        std::copy_n(text.begin(), std::min(text.size(), reply.start.size() - at),
                    reply.start.begin() + static_cast<std::ptrdiff_t>(at));
    const std::size_t length = at + text.size();
    if (reply.held == at && k_maybe_limited.starts_with({reply.start.data(), length})) {
        reply.held = length;
        return;
    }
    release(reply);
    write_text(reply, text);
}

} // namespace

bool reply_complete(std::span<const char> buffer, std::size_t received)
{
    if (received == buffer.size()) return true;
    if (received <= k_header.size()) return false;
    const char last = buffer[received - 1];
    return last == '\n' || (last == k_zero && buffer[k_header.size()] == k_marker);
}

reply_verdict judge_reply(std::span<const char> reply)
{
    const std::string_view bytes{reply.data(), reply.size()};
    if (!bytes.starts_with(k_header)) return {reply_said::no_header};
    return {said_by(text_of(bytes)), family_of(without_first(bytes, k_header.size()))};
}

void print_reply(std::span<const char> reply, bool clean)
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
    end_text(clean);
}

void add_datagram(reply_stream &reply, std::string_view datagram)
{
    if (datagram.empty()) return;
    std::string_view piece = datagram;
    if (reply.received == 0) {
        const std::string_view text =
            without_first(datagram, std::min(datagram.size(), k_header.size()));
        reply.family = family_of(text);
        reply.opening = opening_line(text, reply.room);
        if (reply.clean) start_clean_text(dialect_of(text));
    } else {
        piece = piece_text(datagram, reply.opening);
    }
    const bool marked =
        reply.family == server_family::marker_n || reply.family == server_family::marker_n_zero;
    if (marked && piece.ends_with(k_zero)) piece.remove_suffix(1);
    add_piece(reply, piece);
}

reply_verdict judge_stream(const reply_stream &reply)
{
    if (!reply.header_ok) return {reply_said::no_header, reply.family};
    const std::size_t length = reply.received - k_header.size();
    return {length <= reply.start.size() ? said_by({reply.start.data(), length}) : reply_said::text,
            reply.family};
}

void finish_stream(reply_stream &reply)
{
    if (!reply.header_ok) return complain_of_header();
    release(reply);
    end_text(reply.clean);
}

void report_refusal(reply_said said, bool password_sent, bool limited)
{
    const char *message = "The server refused the password\n";
    if (said == reply_said::no_password_set)
        message = "The server has no remote-console password set: set one there\n";
    else if (said == reply_said::refused_or_limited && limited)
        message = "The server refused the request as over its limit until the bound passed\n";
    else if (said == reply_said::refused_or_limited && password_sent)
        message = "The server refused the password, or wants hashed requests: try -s sha1\n";
    std::fputs(message, stderr);
}
