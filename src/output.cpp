// Standard output through one static buffer, and replies written there as clean text.
#include "output.hpp"
#include "signals.hpp"
#include "utf8.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <utility>

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
    bool colour = false; // colour codes shown as colours: at a terminal, unless NO_COLOR
    int error = 0;       // of the first failed write; nothing is written after it
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

// The flags that every write reads are in the data section, beside the exchange's small
// state: on a page of their own they would cost every run a page fault and 4 KiB.

/// Where standard output's text goes instead, while captured: the buffer is emptied there.
[[gnu::section(".data")]] text_buffer *captured = nullptr;

/// Where say writes while nothing is captured: standard output, or standard error (-j).
[[gnu::section(".data")]] bool say_on_stderr = false;

/// A line of progress is on the terminal, with the cursor at its end.
[[gnu::section(".data")]] bool status_on = false;
/// Back to the start of the line, and erase it to its end.
constexpr std::string_view k_erase_line = "\r\x1b[K";

/// Writes `text` to standard error, a terminal, as best it can: a line of progress is no
/// output that a failure would lose.
void write_status(std::string_view text)
{
    while (!text.empty()) {
        const ssize_t wrote = write(STDERR_FILENO, text.data(), text.size());
        if (wrote <= 0 && errno != EINTR) return;
        if (wrote > 0) text.remove_prefix(static_cast<std::size_t>(wrote));
    }
}

/// Writes all of `parts` to standard output, waiting whenever it is a full non-blocking pipe:
/// its flags belong to whoever shares the description, so they are left as they are.
/// Returns 0, or 1 after keeping the error.
int write_all(std::span<iovec> parts)
{
    if (captured != nullptr) {
        for (const iovec &part : parts)
            captured->append(
                std::span<const char>{static_cast<const char *>(part.iov_base), part.iov_len});
        return 0;
    }
    erase_status(); // the terminal may be the same
    for (skip_written(parts, 0); !parts.empty();) {
        const ssize_t wrote = writev(STDOUT_FILENO, parts.data(), static_cast<int>(parts.size()));
        if (wrote >= 0) {
            skip_written(parts, static_cast<std::size_t>(wrote));
        } else if (errno == EAGAIN) {
            pollfd writable{STDOUT_FILENO, POLLOUT, 0};
            // told to end: a reader that takes nothing must not hold telk
            if (poll(&writable, 1, -1) < 0 && stop_signal() != 0) return 1;
        } else if (errno != EINTR || stop_signal() != 0) {
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
/// The C1 controls, raw, or in UTF-8 as k_c1_lead and a byte of the same range.
constexpr unsigned char k_c1_first = 0x80;
constexpr unsigned char k_c1_last = 0x9f;
constexpr char k_c1_lead = '\xc2';
/// How much of a 24-bit colour one hexadecimal digit of ^xRGB stands for: 0xF is 255.
constexpr std::size_t k_hex_digit_scale = 17;
constexpr std::string_view k_hex_digits = "0123456789abcdef";
/// Holds the longest colour for ^xRGB, "\x1b[38;2;255;255;255m", and its zero byte.
constexpr std::size_t k_rgb_size = 20;
/// ASCII letters differ from their upper case in this bit only.
constexpr int k_case_bit = 0x20;

/// The longest colour code: ^xRGB.
constexpr std::size_t k_longest_code = 5;

/// What is left out of a reply's start, by dialect.
constexpr std::array<std::string_view, 2> k_opening{"print\n", "n"};

/// A reply's clean text on its way out, a piece at a time: what it still holds back, until
/// the next byte tells what it is.
struct {
    text_dialect dialect = text_dialect::print_line;
    std::size_t opening = 0; // bytes of k_opening matched at the text's start; npos once past
    std::array<char, k_longest_code> code{}; // a caret, and what followed it so far
    std::size_t code_size = 0;
    std::array<char, 4> sequence{}; // a UTF-8 sequence begun, at a terminal
    std::size_t sequence_size = 0;
    const utf8_lead *lead = nullptr; // the row of its first byte
    bool coloured = false;           // a colour is on, to end before a newline and at the end
    char last = '\n';                // the last byte of text; before any, as after a line
} clean;

/// Appends control character `c` in caret notation.
void put_caret(char c)
{
    put_out('^');
    put_out(static_cast<char>(c ^ k_caret_bit));
}

/// Whether `c` would steer a terminal: a control byte other than newline and tab.
bool is_control(char c)
{
    return (static_cast<unsigned char>(c) < k_blank && c != '\n' && c != '\t') || c == k_delete;
}

bool is_c1(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u >= k_c1_first && u <= k_c1_last;
}

/// The 8-bit character set of the 'n' dialect: from 0x80 up, the characters of 0x00 to 0x7F
/// in a second colour; below the blank, brackets and digits among the decorations.
constexpr int k_low_seven_bits = 0x7f;
constexpr unsigned char k_open_bracket = 0x10;
constexpr unsigned char k_close_bracket = 0x11;
constexpr unsigned char k_zero_symbol = 0x12;
constexpr unsigned char k_nine_symbol = 0x1b;

/// The character that byte `c` of the 'n' dialect's character set reads as.
char readable(char c)
{
    const auto u = static_cast<unsigned char>(c & k_low_seven_bits);
    if (u == k_open_bracket) return '[';
    if (u == k_close_bracket) return ']';
    if (u >= k_zero_symbol && u <= k_nine_symbol)
        return static_cast<char>('0' + (u - k_zero_symbol));
    return static_cast<char>(u);
}

/// Shows one byte that is no part of valid UTF-8: in the 'n' dialect as the character it
/// reads as; at a terminal, a control in caret notation, a raw C1 control with M-.
void show_byte(char c)
{
    if (clean.dialect == text_dialect::marker_n) c = readable(c);
    if (out.terminal && is_control(c)) {
        put_caret(c);
    } else if (out.terminal && is_c1(c)) {
        write_out("M-");
        put_caret(static_cast<char>(c ^ k_meta_bit));
    } else {
        put_out(c);
    }
}

/// Shows the bytes of a UTF-8 sequence that did not come whole one by one.
void drop_sequence()
{
    for (std::size_t i = 0; i < clean.sequence_size; ++i)
        show_byte(clean.sequence[i]);
    clean.sequence_size = 0;
}

/// Shows text byte `c` at a terminal, or in the 'n' dialect: valid UTF-8 passes whole, but
/// for the UTF-8 form of a C1 control at a terminal, shown like the raw one, which some
/// terminals obey as well.
void show_as_utf8(char c)
{
    if (clean.sequence_size > 0 && continues(*clean.lead, clean.sequence_size, c)) {
        clean.sequence[clean.sequence_size++] = c;
        if (clean.sequence_size < clean.lead->length) return;
        clean.sequence_size = 0;
        const std::string_view whole{clean.sequence.data(), clean.lead->length};
        if (out.terminal && whole[0] == k_c1_lead && is_c1(whole[1]))
            show_byte(whole[1]);
        else
            write_out(whole);
        return;
    }
    drop_sequence();
    if ((clean.lead = lead_of(c)) != nullptr) {
        clean.sequence[0] = c;
        clean.sequence_size = 1;
        return;
    }
    show_byte(c);
}

/// Turns the colour off, if one is on.
void end_colour()
{
    drop_sequence();
    if (clean.coloured) write_out(k_colour_off);
    clean.coloured = false;
}

/// Writes text byte `c`; a colour ends with its line.
void put_text(char c)
{
    clean.last = c;
    if (c == '\n') end_colour();
    if (out.terminal || clean.dialect == text_dialect::marker_n)
        show_as_utf8(c);
    else
        put_out(c);
}

/// Shows `colour` at a terminal, in place of a colour code.
void put_colour(std::string_view colour)
{
    if (!out.colour) return;
    drop_sequence();
    write_out(colour);
    clean.coloured = colour != k_colour_off;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

/// An ASCII letter in lower case.
char lower_case(char c) { return static_cast<char>(c | k_case_bit); }

bool is_letter(char c) { return lower_case(c) >= 'a' && lower_case(c) <= 'z'; }

/// The value of hexadecimal digit `c`, or npos when it is none.
std::size_t hex_value(char c)
{
    return is_digit(c) || is_letter(c) ? k_hex_digits.find(lower_case(c)) : std::string_view::npos;
}

/// The colour of a code's digit or letter: by its distance from '0', modulo their number.
std::string_view colour_of(char c)
{
    return k_colours[static_cast<std::size_t>(c - '0') % k_colours.size()];
}

/// The colour of ^xRGB at a terminal, each digit scaled to a byte.
void put_rgb(std::string_view digits)
{
    std::array<char, k_rgb_size> colour;
    const int length = std::snprintf(colour.data(), colour.size(), "\x1b[38;2;%zu;%zu;%zum",
                                     hex_value(digits[0]) * k_hex_digit_scale,
                                     hex_value(digits[1]) * k_hex_digit_scale,
                                     hex_value(digits[2]) * k_hex_digit_scale);
    put_colour({colour.data(), static_cast<std::size_t>(length)});
}

enum class code_is { pending, colour, text };

/// What the caret held with what followed it is: a colour code, a colour code not yet whole,
/// or text. Acts on a whole colour code.
code_is read_code(std::string_view code)
{
    const char c = code[1];
    const bool print_line = clean.dialect == text_dialect::print_line;
    if (is_digit(c) || (print_line && is_letter(c))) {
        put_colour(colour_of(c));
        return code_is::colour;
    }
    if (print_line) return code_is::text;
    if (c == '^') { // a caret, shown once
        put_text('^');
        return code_is::colour;
    }
    if (c != 'x' || (code.size() > 2 && hex_value(code.back()) == std::string_view::npos))
        return code_is::text;
    if (code.size() < k_longest_code) return code_is::pending;
    put_rgb(code.substr(2));
    return code_is::colour;
}

/// Takes the next byte of text after its opening: colour codes are held until whole.
void take_byte(char c)
{
    if (clean.code_size == 0 && c != '^') {
        put_text(c);
        return;
    }
    clean.code[clean.code_size++] = c;
    if (clean.code_size == 1) return;
    const code_is what = read_code({clean.code.data(), clean.code_size});
    if (what == code_is::pending) return;
    const std::size_t held = clean.code_size;
    clean.code_size = 0;
    if (what == code_is::colour) return;
    // Not a colour code: the caret and what followed it are text, all but the last byte,
    // which may begin a code of its own.
    for (std::size_t i = 0; i + 1 < held; ++i)
        put_text(clean.code[i]);
    take_byte(clean.code[held - 1]);
}

/// Takes what matched of the opening so far as text: there was no opening after all, or the
/// text ended within it.
void release_opening()
{
    const std::string_view opening = k_opening[static_cast<std::size_t>(clean.dialect)];
    const std::size_t matched = std::exchange(clean.opening, std::string_view::npos);
    if (matched == std::string_view::npos) return;
    for (const char held : opening.substr(0, matched))
        take_byte(held);
}

} // namespace

void start_output()
{
    out.terminal = isatty(STDOUT_FILENO) == 1;
    const char *no_colour = out.terminal ? std::getenv("NO_COLOR") : nullptr;
    out.colour = out.terminal && (no_colour == nullptr || *no_colour == '\0');
}

bool output_is_terminal() { return out.terminal; }

namespace {

/// Writes what is buffered and then `text`, in one call and without copying. (Out of line:
/// its array would cost every buffered write the stack protector's check.)
[[gnu::noinline]] void write_beside(std::string_view text)
{
    std::array<iovec, 2> parts{
        {{out.buffer.data(), out.used}, {const_cast<char *>(text.data()), text.size()}}};
    out.used = 0;
    write_all(std::span(parts).first(text.empty() ? 1 : 2));
}

} // namespace

void write_out(std::string_view text)
{
    if (out.error != 0) return;
    if (text.size() > out.buffer.size() - out.used) return write_beside(text);
    std::copy(text.begin(), text.end(), out.buffer.begin() + static_cast<long>(out.used));
    out.used += text.size();
}

void capture_output(text_buffer *into)
{
    flush_out(); // what came before goes where it was going
    // captured text goes on as to a pipe: the terminal's notations and colours come later
    static bool terminal = false;
    static bool colour = false;
    if (into != nullptr && captured == nullptr) {
        terminal = std::exchange(out.terminal, false);
        colour = std::exchange(out.colour, false);
    } else if (into == nullptr && captured != nullptr) {
        out.terminal = terminal;
        out.colour = colour;
    }
    captured = into;
}

void start_clean_text(text_dialect dialect, bool opening)
{
    clean.dialect = dialect;
    clean.opening = opening ? 0 : std::string_view::npos;
    clean.code_size = clean.sequence_size = 0;
    clean.coloured = false;
    clean.last = '\n';
}

void write_clean_piece(std::string_view piece)
{
    const std::string_view opening = k_opening[static_cast<std::size_t>(clean.dialect)];
    for (const char c : piece) {
        if (clean.opening != std::string_view::npos) {
            if (c == opening[clean.opening]) {
                if (++clean.opening == opening.size()) clean.opening = std::string_view::npos;
                continue;
            }
            release_opening(); // no opening after all
        }
        take_byte(c);
    }
}

void end_clean_text()
{
    release_opening();
    for (std::size_t i = 0; i < clean.code_size; ++i) // a code that never came whole is text
        put_text(clean.code[i]);
    clean.code_size = 0;
    end_colour();
    if (clean.last != '\n') put_out('\n');
}

int flush_out()
{
    if (out.error == 0 && out.used > 0) write_beside({});
    out.used = 0;
    return out.error != 0 ? 1 : 0;
}

int output_error() { return out.error; }

int check_output(int status)
{
    if (flush_out() == 0) return status;
    errno = output_error();
    if (stop_signal() == 0) std::perror("Couldn't write standard output");
    return 1;
}

int say(std::string_view message, int status)
{
    if (say_on_stderr && captured == nullptr) {
        std::fwrite(message.data(), 1, message.size(), stderr);
        return status;
    }
    write_out(message);
    return check_output(status);
}

void keep_output_for_json() { say_on_stderr = true; }

void show_status(std::string_view line)
{
    constexpr std::size_t k_status_max = 80;
    std::array<char, k_status_max + k_erase_line.size()> shown;
    const std::size_t size = std::min(line.size(), k_status_max);
    shown[0] = '\r'; // the line goes over the one shown before, and erases what is left of it
    std::copy_n(line.begin(), size, shown.begin() + 1);
    std::copy(k_erase_line.begin() + 1, k_erase_line.end(), shown.begin() + 1 + size);
    write_status({shown.data(), size + k_erase_line.size()});
    status_on = true;
}

bool status_shown() { return status_on; }

void erase_status()
{
    if (std::exchange(status_on, false)) write_status(k_erase_line);
}
