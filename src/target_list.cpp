// A list of targets, from the command line or a file.
#include "target_list.hpp"
#include "output.hpp"
#include "password.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

/// The most a file of targets may hold: a million servers' lines.
constexpr std::size_t k_file_max = 64 << 20;
constexpr std::size_t k_read_size = 65536;
/// Room for a message that names the file of targets.
constexpr std::size_t k_message_size = PATH_MAX + 64;

/// Reads the file at `path` whole into `into`. Returns 0, or 1 with errno set.
int read_file(const char *path, text_buffer &into)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    for (;;) {
        into.reserve(into.size() + k_read_size);
        const ssize_t got = read(fd, into.data() + into.size(), k_read_size);
        if (got > 0) into.resize(into.size() + static_cast<std::size_t>(got));
        if (got > 0 && into.size() <= k_file_max) continue;
        const int error = got < 0 ? errno : EFBIG;
        close(fd);
        errno = error;
        return got == 0 ? 0 : 1;
    }
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

/// `text` without blanks at either end.
std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

/// `line` up to a comment: a # at its start or after a blank.
std::string_view without_comment(std::string_view line)
{
    for (std::size_t at = 0; at < line.size(); ++at)
        if (line[at] == '#' && (at == 0 || is_blank(line[at - 1]))) return {line.data(), at};
    return line;
}

/// Finds the target `text` names and adds it to `members` as `label`; `password`, when not
/// empty, is the path of its password file. Says what is wrong behind `where` (FILE:LINE: or
/// nothing) and the target's label. Returns 0, or 1.
int add_target(std::string_view text, std::string_view password_path, growable<member> &members,
               text_buffer &texts, std::string_view where = {})
{
    member m;
    m.label_at = texts.size();
    m.label_size = text.size();
    texts.append(text);
    texts.push('\0');
    // find_target writes into its text, and says what is wrong on standard output: a copy of
    // its own, and the message caught to name the target in front of it
    text_buffer host;
    host.append(text);
    host.push('\0');
    text_buffer said;
    capture_output(&said);
    const int found = find_target(host.data(), m.to);
    capture_output(nullptr);
    m.resolves = found != k_does_not_resolve;
    if (found != 0 && m.resolves) {
        text_buffer message;
        message.append(where);
        message.append(text);
        message.append(std::string_view{": "});
        message.append(view_of(said));
        return say(view_of(message), 1);
    }
    if (!password_path.empty()) {
        text_buffer path;
        path.append(password_path);
        path.push('\0');
        std::string_view password;
        if (read_password_file(path.data(), password) != 0) return 1;
        m.own_password = true;
        m.password_at = texts.size();
        m.password_size = password.size();
        texts.append(password);
    }
    members.push(m);
    return 0;
}

/// Orders members by target, those that do not resolve last, by label: 0 when they are the
/// same server.
int compare_members(const member &a, const member &b, const text_buffer &texts)
{
    if (a.resolves != b.resolves) return a.resolves ? -1 : 1;
    if (a.resolves) return compare_targets(a.to, b.to);
    return label_of(a, texts).compare(label_of(b, texts));
}

/// Leaves out of `members` each target named again after its first time, keeping their
/// order: sorted by target, then by place, a repeat is the one behind its equal.
void drop_repeats(growable<member> &members, const text_buffer &texts)
{
    growable<std::size_t> order;
    for (std::size_t i = 0; i < members.size(); ++i)
        order.push(i);
    const auto before = [&](std::size_t a, std::size_t b) {
        const int by_target = compare_members(members[a], members[b], texts);
        return by_target != 0 ? by_target < 0 : a < b;
    };
    std::sort(order.data(), order.data() + order.size(), before);
    growable<char> repeated; // a flag a member
    repeated.reserve(members.size());
    repeated.resize(members.size());
    std::fill(repeated.data(), repeated.data() + repeated.size(), 0);
    for (std::size_t k = 1; k < order.size(); ++k)
        if (compare_members(members[order[k - 1]], members[order[k]], texts) == 0)
            repeated[order[k]] = 1;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < members.size(); ++i)
        if (repeated[i] == 0) members[kept++] = members[i];
    members.resize(kept);
}

/// Adds the targets of the file of targets at `path`.
int add_file(const char *path, growable<member> &members, text_buffer &texts)
{
    text_buffer file;
    if (read_file(path, file) != 0) {
        std::array<char, k_message_size> message;
        std::snprintf(message.data(), message.size(), "Couldn't read target file %s", path);
        std::perror(message.data());
        return 1;
    }
    std::string_view rest = view_of(file);
    for (int number = 1; !rest.empty(); ++number) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = trimmed(without_comment({rest.data(), end}));
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (line.empty()) continue;
        std::size_t split = 0;
        while (split < line.size() && !is_blank(line[split]))
            ++split;
        const std::string_view host{line.data(), split};
        const std::string_view password{line.data() + split, line.size() - split};
        std::array<char, k_message_size> where;
        const int length = std::snprintf(where.data(), where.size(), "%s:%d: ", path, number);
        const std::string_view at{where.data(), std::min<std::size_t>(length, where.size() - 1)};
        if (add_target(host, trimmed(password), members, texts, at) != 0) return 1;
    }
    if (!members.empty()) return 0;
    std::fprintf(stderr, "No target in %s\n", path);
    return 1;
}

/// Says that entry `number` of a comma-separated list is empty, a typing mistake. Returns 1.
int report_empty_entry(int number)
{
    std::array<char, k_message_size> message;
    const int length =
        std::snprintf(message.data(), message.size(), "Target %d of the list is empty\n", number);
    return say({message.data(), static_cast<std::size_t>(length)}, 1);
}

/// Adds the targets of the comma-separated list `list`; blanks around the commas are left out.
int add_list(std::string_view list, growable<member> &members, text_buffer &texts)
{
    for (int number = 1;; ++number) {
        const std::size_t comma = std::min(list.find(','), list.size());
        const std::string_view entry = trimmed({list.data(), comma});
        if (entry.empty()) return report_empty_entry(number);
        if (add_target(entry, {}, members, texts) != 0) return 1;
        if (comma == list.size()) return 0;
        list.remove_prefix(comma + 1);
    }
}

} // namespace

bool names_several(const char *host) { return host[0] == '@' || std::strchr(host, ',') != nullptr; }

int find_targets(char *host, growable<member> &members, text_buffer &texts)
{
    const int status =
        host[0] == '@' ? add_file(host + 1, members, texts) : add_list(host, members, texts);
    if (status == 0) drop_repeats(members, texts);
    return status;
}
