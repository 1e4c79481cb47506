// A fleet's replies written out: labelled lines, or JSON.
#include "fleet_output.hpp"
#include "json.hpp"
#include "output.hpp"
#include "reply.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

constexpr std::array<const char *, 7> k_outcomes{"ok",    "refused",     "timeout",   "unreachable",
                                                 "error", "interrupted", "unresolved"};
constexpr std::array<const char *, 4> k_family_names{"unknown", "first", "second", "third"};
/// Holds the fields of a JSON line after the command.
constexpr std::size_t k_fields_size = 112;


/// Writes `line` without its zero bytes, which are the protocol's, not text.
void write_without_zeros(std::string_view line)
{
    for (std::size_t zero = line.find('\0'); zero != std::string_view::npos;
         zero = line.find('\0')) {
        write_out({line.data(), zero});
        line.remove_prefix(zero + 1);
    }
    write_out(line);
}

/// Writes one line of a reply, `line`, without its newline (`ended`: it had one), behind
/// the label of `lines`. The reply's opening is the protocol's framing, not text: the print
/// line, or the marker, never shows under a label.
void write_line(labelled_lines &lines, std::string_view line, bool ended)
{
    if (!std::exchange(lines.started, true)) {
        lines.dialect = dialect_of(line);
        if (lines.dialect == text_dialect::marker_n) line.remove_prefix(1);
        if (lines.dialect == text_dialect::print_line && line == "print") return;
        if (line.empty() && !ended) return; // the reply was its opening alone
    }
    write_out(lines.label);
    write_out(": ");
    if (!lines.clean || line.empty()) {
        write_without_zeros(line);
        write_out("\n");
        return;
    }
    start_clean_text(lines.dialect, false);
    write_clean_piece(line);
    end_clean_text();
}

} // namespace

void write_json(const exchange_record &e)
{
    text_buffer cleaned;
    const std::string_view text = clean_text(e.text, cleaned);
    text_buffer line;
    line.append(std::string_view{"{\"server\":"});
    append_json_string(line, e.label);
    line.append(std::string_view{",\"address\":"});
    if (e.address.empty())
        line.append(std::string_view{"null"});
    else
        append_json_string(line, e.address);
    line.append(std::string_view{",\"command\":"});
    append_json_string(line, e.command);
    std::array<char, k_fields_size> fields;
    const int length = std::snprintf(
        fields.data(), fields.size(), ",\"outcome\":\"%s\",\"family\":\"%s\",\"ms\":%lld,\"text\":",
        k_outcomes[static_cast<std::size_t>(e.result)],
        k_family_names[static_cast<std::size_t>(e.family)], static_cast<long long>(e.took.count()));
    line.append(std::span<const char>{fields.data(), static_cast<std::size_t>(length)});
    append_json_string(line, text);
    line.append(std::string_view{e.truncated ? ",\"truncated\":true}\n" : "}\n"});
    write_out(view_of(line));
    flush_out();
}

std::size_t write_lines(labelled_lines &lines, std::string_view text, bool all)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const std::string_view rest{text.data() + written, text.size() - written};
        const std::size_t newline = rest.find('\n');
        if (newline == std::string_view::npos && !all && rest.size() < k_line_piece) break;
        const std::size_t end = std::min({newline, rest.size(), k_line_piece});
        write_line(lines, {rest.data(), end}, end == newline);
        written += end + (end == newline ? 1 : 0);
    }
    flush_out();
    return written;
}

void label_message(std::string_view label)
{
    std::fprintf(stderr, "%.*s: ", static_cast<int>(label.size()), label.data());
}
