// Replies gathered by command: grouped when the same, written once behind a folded label.
#include "gather.hpp"
#include "fleet_output.hpp"

#include <algorithm>

namespace {

/// The longest last number that folds: more digits are no port or address part.
constexpr std::size_t k_fold_digits_max = 18;
constexpr unsigned long long k_decimal_base = 10;

/// A label as it folds: the text before its last number, and that number.
struct label_part {
    std::string_view prefix; // the whole label when it has no number that folds
    unsigned long long number = 0;
    bool numbered = false;
    std::size_t order = 0; // its place among the labels
};

label_part split_label(std::string_view label, std::size_t order)
{
    std::size_t digits = 0;
    while (digits < label.size() && label[label.size() - 1 - digits] >= '0' &&
           label[label.size() - 1 - digits] <= '9')
        ++digits;
    const std::size_t start = label.size() - digits;
    // a leading zero would not survive the fold
    if (digits == 0 || digits > k_fold_digits_max || (digits > 1 && label[start] == '0'))
        return {.prefix = label, .order = order};
    unsigned long long number = 0;
    for (std::size_t i = start; i < label.size(); ++i)
        number = number * k_decimal_base + static_cast<unsigned long long>(label[i] - '0');
    return {.prefix = {label.data(), start}, .number = number, .numbered = true, .order = order};
}

/// Orders parts so that those that fold together are neighbours, by number.
bool folds_before(const label_part &a, const label_part &b)
{
    if (a.numbered != b.numbered) return a.numbered;
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return a.number < b.number;
}

bool folds_with(const label_part &a, const label_part &b)
{
    return a.numbered && b.numbered && a.prefix == b.prefix;
}

/// Writes the parts `run`, which fold together, sorted by number, as one label.
void append_run(text_buffer &into, std::span<const label_part> run)
{
    into.append(run[0].prefix);
    if (!run[0].numbered) return;
    if (run.size() == 1) return append_number(into, run[0].number);
    into.push('[');
    for (std::size_t i = 0; i < run.size();) {
        std::size_t last = i;
        while (last + 1 < run.size() && run[last + 1].number <= run[last].number + 1)
            ++last;
        if (i > 0) into.push(',');
        append_number(into, run[i].number);
        if (last > i) {
            into.push('-');
            append_number(into, run[last].number);
        }
        i = last + 1;
    }
    into.push(']');
}

/// A run of neighbours in a sorted array, and where its first member stood.
struct run_span {
    std::size_t from, to;
    std::size_t first; // the least place among its members
};

/// Makes sure that `g` counts the servers done with command `command`.
void count_command(gathering &g, std::size_t command)
{
    while (g.ended.size() <= command)
        g.ended.push(g.gone);
}

std::string_view text_of_reply(const gathering &g, const gathered_reply &r)
{
    return {g.texts.data() + r.at, r.size};
}

/// Writes the replies of `g` to command `command`: a group a text, the largest first.
void write_command(gathering &g, std::size_t command)
{
    growable<gathered_reply> mine;
    for (const gathered_reply &r : g.replies.items())
        if (r.command == command && r.size > 0) mine.push(r);
    std::sort(mine.data(), mine.data() + mine.size(),
              [&g](const gathered_reply &a, const gathered_reply &b) {
                  const int by_text = text_of_reply(g, a).compare(text_of_reply(g, b));
                  return by_text != 0 ? by_text < 0 : a.server < b.server;
              });
    growable<run_span> groups;
    for (std::size_t i = 0; i < mine.size();) {
        std::size_t end = i + 1;
        while (end < mine.size() && text_of_reply(g, mine[end]) == text_of_reply(g, mine[i]))
            ++end;
        groups.push({i, end, mine[i].server});
        i = end;
    }
    std::sort(groups.data(), groups.data() + groups.size(), [](const run_span &a, const run_span &b) {
        return a.to - a.from != b.to - b.from ? a.to - a.from > b.to - b.from : a.first < b.first;
    });
    for (const run_span &group : groups.items()) {
        growable<std::string_view> names;
        for (std::size_t i = group.from; i < group.to; ++i)
            names.push(g.labels[mine[i].server]);
        text_buffer label;
        fold_labels(names.items(), label);
        labelled_lines lines{.label = view_of(label), .clean = g.clean};
        write_lines(lines, text_of_reply(g, mine[group.from]), true);
    }
}

} // namespace

void gather(gathering &g, std::size_t command, std::size_t server, std::string_view text)
{
    g.replies.push({command, server, g.texts.size(), text.size()});
    g.texts.append(text);
    count_command(g, command);
    ++g.ended[command];
}

void count_gone(gathering &g, std::size_t commands_ended)
{
    for (std::size_t k = commands_ended; k < g.ended.size(); ++k)
        ++g.ended[k];
    ++g.gone;
}

void write_gathered(gathering &g, std::size_t known, bool all)
{
    const std::size_t before = g.written;
    for (; g.written < known; ++g.written) {
        count_command(g, g.written);
        if (!all && g.ended[g.written] < g.labels.size()) break;
        write_command(g, g.written);
    }
    if (g.written == before) return;
    const bool all_written = std::all_of(g.replies.items().begin(), g.replies.items().end(),
                                         [&g](const gathered_reply &r) { return r.command < g.written; });
    if (!all_written) return;
    g.replies.clear(); // what is written is let go
    g.texts.clear();
}

void fold_labels(std::span<const std::string_view> labels, text_buffer &into)
{
    growable<label_part> parts;
    for (std::size_t i = 0; i < labels.size(); ++i)
        parts.push(split_label(labels[i], i));
    std::sort(parts.data(), parts.data() + parts.size(), folds_before);
    growable<run_span> runs;
    for (std::size_t i = 0; i < parts.size();) {
        std::size_t end = i + 1;
        std::size_t first = parts[i].order;
        for (; end < parts.size() && folds_with(parts[i], parts[end]); ++end)
            first = std::min(first, parts[end].order);
        runs.push({i, end, first});
        i = end;
    }
    std::sort(runs.data(), runs.data() + runs.size(),
              [](const run_span &a, const run_span &b) { return a.first < b.first; });
    for (std::size_t r = 0; r < runs.size(); ++r) {
        if (r > 0) into.push(',');
        append_run(into, parts.items().subspan(runs[r].from, runs[r].to - runs[r].from));
    }
}
