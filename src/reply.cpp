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

/// What servers answer a request they refuse, as a reply's whole text; copies of it, in later
/// datagrams, repeat it without its first `opening` bytes.
struct refusal {
    std::string_view text;
    reply_said said;
    std::size_t opening;
};
constexpr std::array<refusal, 3> k_refusals{{
    {"print\nBad rconpassword.\n", reply_said::refused_password, 6},
    {"print\nNo rconpassword set on the server.\n", reply_said::no_password_set, 6},
    {"nBad rcon_password.\n", reply_said::refused_or_limited, 1},
}};
/// The refusal that may only say "not now", to be held back until the reply is whole.
constexpr std::size_t k_maybe_limited = 2;

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

/// The family that a reply comes from, by the text of its first datagram, with its zero byte.
server_family family_of(std::string_view text)
{
    if (text.starts_with(k_marker))
        return text.ends_with(k_zero) ? server_family::marker_n_zero : server_family::marker_n;
    return text.starts_with(k_print_line) ? server_family::print_line : server_family::unknown;
}

} // namespace

void end_text(bool clean)
{
    if (clean)
        end_clean_text();
    else
        write_out("\n");
    if (output_is_terminal()) flush_out();
}

namespace {

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

/// What a refusal repeats in a later datagram: its text without its opening.
std::string_view repeated(const refusal &r) { return without_first(r.text, r.opening); }

/// The byte at `at` of the text that copies of `r` make.
char copies_byte(const refusal &r, std::size_t at)
{
    if (at < r.text.size()) return r.text[at];
    const std::string_view again = repeated(r);
    return again[(at - r.text.size()) % again.size()];
}

/// Whether `length` bytes are a whole number of copies of `r`.
bool whole_copies(const refusal &r, std::size_t length)
{
    return length >= r.text.size() && (length - r.text.size()) % repeated(r).size() == 0;
}

/// Drops from `reply.refusals` each refusal whose copies `text`, appended to the reply's
/// text, cannot be.
void match_refusals(reply_stream &reply, std::string_view text)
{
    for (std::size_t k = 0; k < k_refusals.size(); ++k) {
        const unsigned bit = 1U << k;
        for (std::size_t i = 0; (reply.refusals & bit) != 0 && i < text.size(); ++i)
            if (text[i] != copies_byte(k_refusals[k], reply.text + i)) reply.refusals &= ~bit;
    }
}

/// Writes out the text that `reply` held back: copies of the refusal that may say "not now".
void release(reply_stream &reply)
{
    const refusal &r = k_refusals[k_maybe_limited];
    std::string_view copy = r.text;
    for (std::size_t left = std::exchange(reply.held, 0); left > 0;) {
        const std::string_view part{copy.data(), std::min(left, copy.size())};
        write_text(reply, part);
        left -= part.size();
        copy = repeated(r);
    }
}

/// Appends `text` to `reply`: printed, unless it may still be a refusal to try again.
void add_text(reply_stream &reply, std::string_view text)
{
    match_refusals(reply, text);
    reply.text += text.size();
    if ((reply.refusals & (1U << k_maybe_limited)) != 0) {
        reply.held = reply.text;
        return;
    }
    release(reply);
    write_text(reply, text);
}

/// Reads the family, the dialect and the opening of `reply` from its first text.
void start_text(reply_stream &reply, std::string_view text)
{
    reply.family = family_of(text);
    reply.opening = opening_line(text, reply.room);
    if (reply.clean) start_clean_text(dialect_of(text));
}

bool is_marked(server_family family)
{
    return family == server_family::marker_n || family == server_family::marker_n_zero;
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

void complain_of_header() { std::fputs("Invalid buffer header.  Sorry.\n", stderr); }

void add_datagram(reply_stream &reply, std::string_view datagram)
{
    if (datagram.empty()) return;
    // A later datagram's header and opening are taken off; a first one's, or one that ends a
    // header split across datagrams, is checked byte for byte.
    const std::string_view piece =
        reply.received < k_header.size() ? datagram : piece_text(datagram, reply.opening);
    const std::size_t header_part =
        std::min(piece.size(), k_header.size() - std::min(reply.received, k_header.size()));
    reply.header_ok = reply.header_ok && piece.starts_with(k_header.substr(0, header_part));
    reply.received += piece.size();
    std::string_view text = without_first(piece, header_part);
    if (!reply.header_ok || text.empty()) return;
    if (reply.text == 0) start_text(reply, text);
    if (is_marked(reply.family) && text.ends_with(k_zero)) text.remove_suffix(1);
    add_text(reply, text);
}

reply_verdict judge_stream(const reply_stream &reply)
{
    if (!reply.header_ok) return {reply_said::no_header, reply.family};
    for (std::size_t k = 0; k < k_refusals.size(); ++k)
        if ((reply.refusals & (1U << k)) != 0 && whole_copies(k_refusals[k], reply.text))
            return {k_refusals[k].said, reply.family};
    return {reply_said::text, reply.family};
}

void finish_stream(reply_stream &reply, bool end_line)
{
    if (!reply.header_ok) return complain_of_header();
    release(reply);
    if (end_line) end_text(reply.clean);
}

const char *refusal_meaning(reply_said said, refusal_hint hint)
{
    if (said != reply_said::refused_or_limited) hint = refusal_hint::none; // only it may mean more
    if (said == reply_said::no_password_set)
        return "has no remote-console password set: set one there";
    switch (hint) {
    case refusal_hint::limited:
        return "refused the request as over its limit until the bound passed";
    case refusal_hint::try_hashed:
        return "refused the password, or wants hashed requests: try -s sha1";
    case refusal_hint::leave_form:
        return "refused the password, or takes plain requests only: leave -s out";
    case refusal_hint::none:
        break;
    }
    return "refused the password";
}

std::string_view clean_text(std::string_view text, text_buffer &into)
{
    capture_output(&into);
    start_clean_text(dialect_of(text));
    write_clean_piece(text);
    end_clean_text();
    capture_output(nullptr);
    return view_of(into);
}
