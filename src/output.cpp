#include "output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <span>

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

/// What the C library would choose for a pipe or a file here.
constexpr std::size_t k_buffer_size = 4096;

/// The fields first: then a run that writes little makes one page of this resident.
struct {
    std::size_t used = 0;
    bool terminal = false;
    int error = 0; // of the first failed write; nothing is written after it
    std::array<char, k_buffer_size> buffer;
} out;

/// Drops the first `done` bytes of `parts`, and any empty part in front.
void skip_written(std::span<iovec> &parts, std::size_t done)
{
    while (!parts.empty() && done >= parts.front().iov_len) {
        done -= parts.front().iov_len;
        parts = parts.subspan(1);
    }
    if (done == 0) return;
    parts.front().iov_base = static_cast<char *>(parts.front().iov_base) + done;
    parts.front().iov_len -= done;
}

/// Writes all of `parts` to standard output, waiting whenever it is a full non-blocking pipe:
/// its flags belong to whoever shares the description, so they are left as they are.
/// Returns 0, or 1 after keeping the error.
int write_all(std::span<iovec> parts)
{
    for (skip_written(parts, 0); !parts.empty();) {
        const ssize_t wrote = writev(STDOUT_FILENO, parts.data(), static_cast<int>(parts.size()));
        if (wrote >= 0) {
            skip_written(parts, static_cast<std::size_t>(wrote));
        } else if (errno == EAGAIN) {
            pollfd writable{STDOUT_FILENO, POLLOUT, 0};
            poll(&writable, 1, -1);
        } else if (errno != EINTR) {
            out.error = errno;
            return 1;
        }
    }
    return 0;
}

void put_out(char c)
{
    if (out.used == out.buffer.size()) flush_out();
    out.buffer[out.used++] = c;
}

/// Whether `text` opens with a colour code: a caret, then a digit or an ASCII letter.
bool is_colour_code(std::string_view text)
{
    if (text.size() < 2 || text[0] != '^') return false;
    const char c = text[1];
    const char lower = static_cast<char>(c | 0x20);
    return (c >= '0' && c <= '9') || (lower >= 'a' && lower <= 'z');
}

constexpr std::string_view k_colour_off = "\x1b[0m";
/// The colours of the codes, by the code's distance from '0' modulo their number: grey, red,
/// green, yellow, blue, cyan, magenta, and none.
constexpr std::array<std::string_view, 8> k_colours{"\x1b[90m", "\x1b[31m",  "\x1b[32m",
                                                    "\x1b[33m", "\x1b[34m",  "\x1b[36m",
                                                    "\x1b[35m", k_colour_off};

/// The control characters: those below the blank, and DEL.
constexpr char k_blank = ' ';
constexpr char k_delete = '\x7f';
/// Caret notation flips this bit of a control character: ESC is ^[, DEL ^?.
constexpr int k_caret_bit = 0x40;
/// The bit that "M-" stands for in M-^[.
constexpr int k_meta_bit = 0x80;
/// UTF-8 writes the C1 controls, U+0080 to U+009F, as this byte and one below k_c1_end.
constexpr char k_c1_lead = '\xc2';
constexpr unsigned char k_c1_end = 0xa0;

std::string_view colour_of(char letter)
{
    return k_colours[static_cast<std::size_t>(letter - '0') % k_colours.size()];
}

/// Whether `c` would steer a terminal: a control byte other than newline and tab.
bool is_control(char c)
{
    return (static_cast<unsigned char>(c) < k_blank && c != '\n' && c != '\t') || c == k_delete;
}

/// Whether `text` opens with a C1 control in UTF-8, which some terminals obey as they obey
/// ESC and its sequences.
bool opens_with_c1(std::string_view text)
{
    return text.size() >= 2 && text[0] == k_c1_lead &&
           static_cast<unsigned char>(text[1]) < k_c1_end;
}

/// Appends control character `c` in caret notation.
void put_caret(char c)
{
    put_out('^');
    put_out(static_cast<char>(c ^ k_caret_bit));
}

} // namespace

void start_output() { out.terminal = isatty(STDOUT_FILENO) == 1; }

bool output_is_terminal() { return out.terminal; }

void write_out(std::string_view text)
{
    if (out.error != 0) return;
    if (text.size() <= out.buffer.size() - out.used) {
        std::copy(text.begin(), text.end(), out.buffer.begin() + static_cast<long>(out.used));
        out.used += text.size();
        return;
    }
    // What is buffered and the text that does not fit, in one call and without copying.
    std::array<iovec, 2> parts{
        {{out.buffer.data(), out.used}, {const_cast<char *>(text.data()), text.size()}}};
    out.used = 0;
    write_all(parts);
}

void write_clean_text(std::string_view text)
{
    constexpr std::string_view print_line = "print\n";
    if (text.starts_with(print_line)) text.remove_prefix(print_line.size());
    bool coloured = false; // a colour is on, to end before a newline and with the reply
    char last = '\n';      // the last byte of text written; before any, as after a line
    for (; !text.empty(); text.remove_prefix(1)) {
        if (is_colour_code(text)) {
            text.remove_prefix(1);
            if (out.terminal) {
                const std::string_view colour = colour_of(text[0]);
                write_out(colour);
                coloured = colour != k_colour_off;
            }
            continue;
        }
        const char c = text[0];
        last = c;
        if (c == '\n' && coloured) {
            write_out(k_colour_off);
            coloured = false;
        }
        if (out.terminal && is_control(c)) {
            put_caret(c);
        } else if (out.terminal && opens_with_c1(text)) {
            text.remove_prefix(1);
            write_out("M-");
            put_caret(static_cast<char>(text[0] ^ k_meta_bit));
        } else {
            put_out(c);
        }
    }
    if (coloured) write_out(k_colour_off);
    if (last != '\n') put_out('\n');
}

int flush_out()
{
    if (out.error == 0 && out.used > 0) {
        std::array<iovec, 1> part{{{out.buffer.data(), out.used}}};
        write_all(part);
    }
    out.used = 0;
    return out.error != 0 ? 1 : 0;
}

int output_error() { return out.error; }

int check_output(int status)
{
    if (flush_out() == 0) return status;
    errno = output_error();
    std::perror("Couldn't write standard output");
    return 1;
}

int say(std::string_view message, int status)
{
    write_out(message);
    return check_output(status);
}
