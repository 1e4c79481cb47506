// A fleet's replies written out: labelled lines, or JSON.
#include "fleet_output.hpp"
#include "json.hpp"
#include "output.hpp"
#include "reply.hpp"

#include <array>
#include <cstdio>

namespace {

constexpr std::array<const char *, 5> k_outcomes{"ok", "refused", "timeout", "unreachable",
                                                 "error"};
constexpr std::array<const char *, 4> k_family_names{"unknown", "first", "second", "third"};
/// Holds the fields of a JSON line after the command.
constexpr std::size_t k_fields_size = 96;

/// `text` as -c writes it into a pipe, in `into`.
std::string_view clean_text(std::string_view text, text_buffer &into)
{
    capture_output(&into);
    start_clean_text(dialect_of(text));
    write_clean_piece(text);
    end_clean_text();
    capture_output(nullptr);
    return view_of(into);
}

void write_json(const exchange_record &e, std::string_view text)
{
    text_buffer line;
    line.append(std::string_view{"{\"server\":"});
    append_json_string(line, e.label);
    line.append(std::string_view{",\"address\":"});
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
    line.append(std::string_view{"}\n"});
    write_out(view_of(line));
}

void write_lines(std::string_view label, std::string_view text)
{
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        write_out(label);
        write_out(": ");
        write_out({text.data(), end});
        write_out("\n"); // a reply without a final newline gets one
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

} // namespace

void write_exchange(const exchange_record &e, bool clean, bool json)
{
    text_buffer cleaned;
    const std::string_view text = clean || json ? clean_text(e.text, cleaned) : e.text;
    if (json)
        write_json(e, text);
    else
        write_lines(e.label, text);
    flush_out();
}

void label_message(std::string_view label)
{
    std::fprintf(stderr, "%.*s: ", static_cast<int>(label.size()), label.data());
}
