// The console: the line editor loaded at run time, its keys, the history file, completion.
#include "console.hpp"
#include "output.hpp"
#include "reply.hpp"
#include "signals.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <clocale>
#include <cwchar>

#include <dlfcn.h>
#include <poll.h>
#include <fcntl.h>
#include <histedit.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// The line editor's shared library, as its runtime package installs it.
constexpr const char *k_editor_library = "libedit.so.2";
/// The most lines the history keeps, in the run and in its file.
constexpr int k_history_max = 1000;
constexpr std::size_t k_path_max = 4096;
constexpr std::size_t k_prompt_max = 128;
constexpr std::size_t k_read_size = 65536;
/// Room behind the history file's path for the process number of a fresh one.
constexpr std::size_t k_pid_room = 32;

/// The line editor's functions, found in its library.
struct editor_calls {
    decltype(&el_init) init;
    decltype(&el_end) end;
    decltype(&el_gets) gets;
    decltype(&el_set) set;
    decltype(&el_line) line;
    decltype(&el_insertstr) insert;
    decltype(&::history_init) open_history;
    decltype(&::history_end) close_history;
    decltype(&::history) history;
};

/// A word of the server's lists, in `names`.
struct name_at {
    std::size_t at, size;
};

/// Names for completion: the server's commands or variables.
struct name_list {
    text_buffer names;
    growable<name_at> items;

    std::string_view operator[](std::size_t i) const
    {
        return {names.data() + items[i].at, items[i].size};
    }
};

/// The console's state. (In the data section, beside the exchange's small state: its
/// destructor runs in every run, and on a page of its own it would cost each run a page fault
/// and 4 KiB.)
struct console_state {
    editor_calls call{};
    EditLine *editor = nullptr;
    History *history = nullptr;
    std::array<char, k_prompt_max> prompt{};
    aside_fn aside = nullptr;
    text_buffer kept;           // the lines of the history, one after another
    growable<std::size_t> ends; // where each ends in kept
    text_buffer path;        // of the history file, with its zero byte; empty: none
    bool complained = false; // about the history file, once
    bool asked = false;      // for the server's lists
    name_list commands, variables;
};
[[gnu::section(".data")]] console_state console;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

/// Says once that the history file at console.path could not be read or written.
void complain_of_history(const char *action)
{
    if (std::exchange(console.complained, true)) return;
    std::fprintf(stderr, "Couldn't %s history file %s: %s\n", action, console.path.data(),
                 std::strerror(errno));
}

/// Makes folder `path` (0700) unless it is there, and its parents the same way.
int make_folder(char *path)
{
    for (char *slash = std::strchr(path + 1, '/');; slash = std::strchr(slash + 1, '/')) {
        if (slash != nullptr) *slash = '\0';
        const int made = mkdir(path, 0700);
        const int error = errno;
        if (slash != nullptr) *slash = '/';
        if (made != 0 && error != EEXIST) {
            errno = error;
            return 1;
        }
        if (slash == nullptr) return 0;
    }
}

/// Finds where the history lives: $XDG_STATE_HOME/telk/history, or ~/.local/state/telk/history.
/// Returns 0, or 1 when there is no home to put it in.
int find_history_path()
{
    const char *state = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    std::array<char, k_path_max> path;
    int length = 0;
    if (state != nullptr && state[0] == '/')
        length = std::snprintf(path.data(), path.size(), "%s/telk/history", state);
    else if (home != nullptr && home[0] == '/')
        length = std::snprintf(path.data(), path.size(), "%s/.local/state/telk/history", home);
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return 1;
    console.path.append({path.data(), static_cast<std::size_t>(length) + 1});
    return 0;
}

/// Keeps `line` in the history, for this run and the next.
void keep(std::string_view line)
{
    const std::size_t start = console.kept.size();
    console.kept.append(line);
    console.kept.push('\0');
    console.ends.push(console.kept.size());
    HistEvent event;
    console.call.history(console.history, &event, H_ENTER, console.kept.data() + start);
}

/// The kept line `i`.
std::string_view kept_line(std::size_t i)
{
    const std::size_t start = i == 0 ? 0 : console.ends[i - 1];
    return {console.kept.data() + start, console.ends[i] - start - 1}; // without its zero byte
}

/// Reads the history file into the history, quietly when there is none yet.
void read_history()
{
    if (find_history_path() != 0) return;
    const int fd = open(console.path.data(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno != ENOENT) complain_of_history("read");
        return;
    }
    text_buffer file;
    for (ssize_t got = 1; got > 0;) {
        file.reserve(file.size() + k_read_size);
        got = read(fd, file.data() + file.size(), k_read_size);
        if (got > 0) file.resize(file.size() + static_cast<std::size_t>(got));
        if (got < 0) complain_of_history("read");
    }
    close(fd);
    std::string_view rest = view_of(file);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        if (end > 0) keep({rest.data(), end});
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
}

/// Writes the last lines of the history to its file, made anew (0600) beside it and moved in.
void write_history()
{
    if (console.path.empty()) return;
    std::array<char, k_path_max + k_pid_room> fresh;
    std::snprintf(fresh.data(), fresh.size(), "%s.%d", console.path.data(), getpid());
    char *folder_end = std::strrchr(console.path.data(), '/');
    *folder_end = '\0';
    const int made = make_folder(console.path.data());
    *folder_end = '/';
    const int fd = made != 0 ? -1
                             : open(fresh.data(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return complain_of_history("write");
    text_buffer text;
    const std::size_t count = console.ends.size();
    for (std::size_t i = count > k_history_max ? count - k_history_max : 0; i < count; ++i) {
        text.append(kept_line(i));
        text.push('\n');
    }
    const bool wrote = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !wrote || rename(fresh.data(), console.path.data()) != 0) {
        complain_of_history("write");
        unlink(fresh.data());
    }
}

/// Whether `line` is a count that ends a list ("59 commands", "105/105 cvars") or no name.
bool is_no_name(std::string_view word)
{
    return word.empty() || (word[0] >= '0' && word[0] <= '9') || word == "print" ||
           word.find_first_not_of('-') == std::string_view::npos;
}

/// The first word of `text`, whose leading blanks are gone.
std::string_view first_word(std::string_view text)
{
    std::size_t end = 0;
    while (end < text.size() && !is_blank(text[end]))
        ++end;
    return {text.data(), end};
}

/// The name that a line of a server's list names: its first word, or in a line of a
/// variable and its quoted value, the word before the value ("  RI  name "value"") unless
/// the line reads `name is "value"`.
std::string_view name_in(std::string_view line)
{
    while (!line.empty() && is_blank(line.front()))
        line.remove_prefix(1);
    if (line.starts_with("List of")) return {};
    const std::size_t quote = line.find('"');
    if (quote == std::string_view::npos) return first_word(line);
    std::string_view before{line.data(), quote};
    while (!before.empty() && is_blank(before.back()))
        before.remove_suffix(1);
    if (before.ends_with(" is")) return first_word(before);
    std::size_t start = before.size();
    while (start > 0 && !is_blank(before[start - 1]))
        --start;
    return {before.data() + start, before.size() - start};
}

/// Asks for the list that `command` gives, and keeps its names in `into`.
void ask_for(const char *command, name_list &into)
{
    text_buffer reply;
    if (console.aside(command, reply) != 0) return;
    text_buffer text;
    for (std::string_view rest = clean_text(view_of(reply), text); !rest.empty();) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view name = name_in({rest.data(), end});
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (is_no_name(name)) continue;
        into.items.push({into.names.size(), name.size()});
        into.names.append(name);
    }
}

bool same_letters(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

/// Adds to `found` the names of `list` that begin with `word`, in any case.
void add_matches(const name_list &list, std::string_view word, growable<std::string_view> &found)
{
    for (std::size_t i = 0; i < list.items.size(); ++i)
        if (list[i].size() >= word.size() && same_letters({list[i].data(), word.size()}, word))
            found.push(list[i]);
}

/// How much all of `found` have in common, in any case.
std::size_t common_length(std::span<const std::string_view> found)
{
    std::size_t length = found[0].size();
    for (const std::string_view name : found)
        for (std::size_t i = 0; i < length; ++i)
            if (i >= name.size() || std::tolower(static_cast<unsigned char>(name[i])) !=
                                        std::tolower(static_cast<unsigned char>(found[0][i])))
                length = i;
    return length;
}

/// Tab: completes the word before the cursor from the server's commands (the first word) or
/// variables (any word), asked for at the first Tab; shows the choices when it cannot.
unsigned char complete(EditLine *editor, int /*key*/)
{
    if (!std::exchange(console.asked, true)) {
        ask_for("cmdlist", console.commands);
        ask_for("cvarlist", console.variables);
    }
    const LineInfo *info = console.call.line(editor);
    const char *start = info->cursor;
    while (start > info->buffer && !is_blank(start[-1]))
        --start;
    const char *before = start;
    while (before > info->buffer && is_blank(before[-1]))
        --before;
    const std::string_view word{start, static_cast<std::size_t>(info->cursor - start)};
    growable<std::string_view> found;
    if (before == info->buffer) add_matches(console.commands, word, found);
    add_matches(console.variables, word, found);
    if (found.empty()) return CC_NORM;
    const std::size_t common = common_length(found.items());
    text_buffer added;
    added.append(std::string_view{found[0].data() + word.size(), common - word.size()});
    if (found.size() == 1) added.push(' ');
    if (!added.empty()) {
        added.push('\0');
        console.call.insert(editor, added.data());
        return CC_REFRESH;
    }
    std::fputs("\n", stdout);
    for (const std::string_view name : found.items())
        std::fprintf(stdout, "%.*s\n", static_cast<int>(name.size()), name.data());
    return CC_REDISPLAY;
}

char *prompt_of(EditLine * /*editor*/) { return console.prompt.data(); }

/// Waits for a byte of standard input and reads it into `byte`, unless telk is told to end
/// first: the signals that tell it are let in only while it waits, so that one that comes
/// just before the wait still ends it. Returns 1, 0 at the end of input, or -1 (EINTR when
/// told to end).
int read_byte(char &byte)
{
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, signal);
    sigprocmask(SIG_BLOCK, &stops, &before);
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = stop_signal() != 0 ? -1 : ppoll(&input, 1, nullptr, &before);
    const int error = ready < 0 ? EINTR : 0;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (ready < 0) {
        errno = error;
        return -1;
    }
    return static_cast<int>(read(STDIN_FILENO, &byte, 1));
}

/// The editor's reading of a key: a character of the terminal's character set.
int read_key(EditLine * /*editor*/, wchar_t *key)
{
    std::mbstate_t state{};
    for (char byte = 0;;) {
        const int got = read_byte(byte);
        if (got <= 0) return got;
        const std::size_t size = std::mbrtowc(key, &byte, 1, &state);
        if (size == static_cast<std::size_t>(-2)) continue; // more bytes of it to come
        if (size == static_cast<std::size_t>(-1)) *key = static_cast<unsigned char>(byte);
        return 1;
    }
}

/// Loads the line editor's functions. Returns 0, or 1 when they cannot be had.
int load_editor()
{
    void *library = dlopen(k_editor_library, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return 1;
    editor_calls &c = console.call;
    const auto find = [library](auto &into, const char *name) {
        into = reinterpret_cast<std::remove_reference_t<decltype(into)>>(dlsym(library, name));
        return into != nullptr;
    };
    return find(c.init, "el_init") && find(c.end, "el_end") && find(c.gets, "el_gets") &&
                   find(c.set, "el_set") && find(c.line, "el_line") &&
                   find(c.insert, "el_insertstr") && find(c.open_history, "history_init") &&
                   find(c.close_history, "history_end") && find(c.history, "history")
               ? 0
               : 1;
}

/// The keys as shells have them, on top of the editor's own.
void bind_keys(EditLine *editor)
{
    const editor_calls &c = console.call;
    constexpr std::array<std::array<const char *, 2>, 11> k_keys{{
        {"^R", "em-inc-search-prev"},
        {"^W", "ed-delete-prev-word"},
        {"^U", "vi-kill-line-prev"},
        {"\\e[H", "ed-move-to-beg"},
        {"\\e[F", "ed-move-to-end"},
        {"\\eOH", "ed-move-to-beg"},
        {"\\eOF", "ed-move-to-end"},
        {"\\e[1~", "ed-move-to-beg"},
        {"\\e[4~", "ed-move-to-end"},
        {"\\e[3~", "ed-delete-next-char"},
        {"^I", "telk-complete"},
    }};
    c.set(editor, EL_ADDFN, "telk-complete", "complete a command or a variable", complete);
    for (const auto &key : k_keys)
        c.set(editor, EL_BIND, key[0], key[1], nullptr);
}

} // namespace

bool console_wanted() { return output_is_terminal() && isatty(STDIN_FILENO) != 0; }

int open_console(std::string_view prompt, aside_fn aside)
{
    if (load_editor() != 0) {
        std::fputs("Line editing is unavailable: libedit.so.2 cannot be loaded\n", stderr);
        return 1;
    }
    const editor_calls &c = console.call;
    const std::size_t size = std::min(prompt.size(), console.prompt.size() - 1);
    std::copy_n(prompt.begin(), size, console.prompt.begin());
    console.aside = aside;
    std::setlocale(LC_CTYPE, ""); // keys as the terminal's character set has them
    console.history = c.open_history();
    console.editor = c.init("telk", stdin, stdout, stderr);
    if (console.history == nullptr || console.editor == nullptr) {
        std::fputs("Line editing is unavailable: libedit.so.2 cannot be loaded\n", stderr);
        return 1;
    }
    HistEvent event;
    c.history(console.history, &event, H_SETSIZE, k_history_max);
    c.set(console.editor, EL_EDITOR, "emacs");
    c.set(console.editor, EL_SIGNAL, 0); // telk's own handlers tell a Ctrl-C
    c.set(console.editor, EL_PROMPT, prompt_of);
    c.set(console.editor, EL_GETCFN, read_key);
    c.set(console.editor, EL_HIST, c.history, console.history);
    bind_keys(console.editor);
    read_history();
    return 0;
}

int read_console(std::string_view &command)
{
    for (;;) {
        erase_status();
        flush_out();
        int count = 0;
        const char *line = console.call.gets(console.editor, &count);
        if (line == nullptr && stop_signal() == SIGINT && forget_interrupt()) {
            std::fputs("\n", stdout); // the line typed is dropped: a fresh prompt
            std::fflush(stdout);
            continue;
        }
        if (line == nullptr && stop_signal() != 0) return -1;
        if (line == nullptr) { // Ctrl-D: the shell's prompt goes on a line of its own
            std::fputs("\n", stdout);
            std::fflush(stdout);
            return 0;
        }
        std::string_view typed{line, static_cast<std::size_t>(count)};
        // the newline, and the blank that completion leaves behind a name
        while (!typed.empty() && (typed.back() == '\n' || typed.back() == '\r' ||
                                  is_blank(typed.back())))
            typed.remove_suffix(1);
        if (typed.empty()) continue;
        command = typed;
        return 1;
    }
}

void keep_typed(std::string_view command)
{
    if (command.empty() || is_blank(command[0])) return; // a blank keeps a line out, as in shells
    if (console.ends.empty() || kept_line(console.ends.size() - 1) != command) keep(command);
}

void close_console()
{
    if (console.editor == nullptr) return;
    write_history();
    console.call.end(console.editor); // the terminal as it was
    console.call.close_history(console.history);
    console.editor = nullptr;
}
