// The password moved out of the arguments, or read from the first line of a file or a terminal.
#include "password.hpp"
#include "signals.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

#include <climits>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

/// Room for the longest single argument Linux hands a program, its zero byte included: no
/// request could hold a longer password.
constexpr std::size_t k_password_size = 131072;

/// The password, in static storage so that telk allocates nothing. Only the pages in use
/// become resident.
std::array<char, k_password_size> storage;

/// The most digits a descriptor's number has.
constexpr std::size_t k_descriptor_digits = 9;

/// The descriptor that `path` names when it names one of telk's own that is open by
/// /dev/stdin, /dev/fd/N or /proc/self/fd/N; -1 for any other path. Opening such a path anew
/// would read a regular file from its start again, and fails on a socket.
int named_descriptor(std::string_view path)
{
    if (path == "/dev/stdin") return STDIN_FILENO;
    for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (!path.starts_with(prefix)) continue;
        // remove_prefix, as everywhere in telk: substr would bring in the C++ library's
        // exceptions wherever the compiler does not inline it
        std::string_view digits = path;
        digits.remove_prefix(prefix.size());
        if (digits.empty() || digits.size() > k_descriptor_digits ||
            digits.find_first_not_of("0123456789") != std::string_view::npos)
            return -1;
        int fd = 0;
        for (const char digit : digits)
            fd = fd * 10 + (digit - '0');         // NOLINT(readability-magic-numbers): decimal
        return fcntl(fd, F_GETFD) >= 0 ? fd : -1; // a closed one fails as the path would
    }
    return -1;
}

/// Reads from `fd` into `room`, waiting when it was left non-blocking. Returns read's result.
ssize_t read_some(int fd, std::span<char> room)
{
    for (;;) {
        const ssize_t got = read(fd, room.data(), room.size());
        if (got >= 0 || (errno != EINTR && errno != EAGAIN) || stop_signal() != 0) return got;
        if (errno == EAGAIN) {
            pollfd watched{fd, POLLIN, 0};
            poll(&watched, 1, -1);
        }
    }
}

/// Reads the first line of `fd` into storage, a byte at a time unless `whole` (a regular file
/// of telk's own), so that what follows the line stays for whoever reads it next. Returns
/// 0, or 1 with errno set.
int read_first_line(int fd, bool whole, std::string_view &password)
{
    const std::span<char> room = storage;
    std::size_t length = 0;
    while (length < room.size()) {
        const ssize_t got = read_some(fd, room.subspan(length, whole ? room.size() - length : 1));
        if (got < 0) return 1;
        const std::string_view text{room.data(), length + static_cast<std::size_t>(got)};
        const std::size_t newline = text.find('\n', length);
        if (got == 0 || newline != std::string_view::npos) {
            password = {text.data(), std::min(newline, text.size())};
            if (password.ends_with('\r')) password.remove_suffix(1);
            return 0;
        }
        length = text.size();
    }
    // The room is full: the line fits only when it ends here.
    char next = 0;
    const ssize_t got = read_some(fd, {&next, 1});
    if (got < 0) return 1;
    if (got == 0 || next == '\n') {
        password = {room.data(), room.size()};
        if (password.ends_with('\r')) password.remove_suffix(1);
        return 0;
    }
    errno = EFBIG;
    return 1;
}

/// Room for a message that names the password file.
constexpr std::size_t k_message_size = PATH_MAX + 64;

/// Warns when the regular file `path`, of `status`, can be read by others than its owner:
/// the password is still used, but anyone on the machine may have it.
void warn_if_readable(const char *path, const struct stat &status)
{
    if (S_ISREG(status.st_mode) && (status.st_mode & (S_IRGRP | S_IROTH)) != 0)
        std::fprintf(stderr,
                     "Warning: password file %s can be read by others than its owner "
                     "(chmod 600 it)\n",
                     path);
}

/// Reads the first line of the terminal `fd` as a password is read: after a prompt on
/// standard error, with echo off, and echo on again whatever happens, a signal included
/// (telk notes one and ends only once this returns).
int read_at_terminal(int fd, std::string_view &password)
{
    termios mode{};
    const bool quiet = tcgetattr(fd, &mode) == 0;
    termios silent = mode;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::fputs("Password: ", stderr);
    // TCSANOW, not TCSAFLUSH: what was typed ahead, the password or the commands after it,
    // stays to be read.
    if (quiet) tcsetattr(fd, TCSANOW, &silent);
    const int read = read_first_line(fd, false, password);
    const int error = errno;
    if (quiet) tcsetattr(fd, TCSANOW, &mode);
    std::fputs("\n", stderr);
    errno = error;
    return read;
}

} // namespace

std::string_view hide_password(char *argument)
{
    const std::size_t length = std::min(std::strlen(argument), storage.size());
    std::memcpy(storage.data(), argument, length);
    // What explicit_bzero does, without the page of the C library that its fortified form
    // alone would make telk touch at every start: the barrier keeps the stores.
    std::memset(argument, 0, length);
    asm volatile("" : : "r"(argument) : "memory");
    return {storage.data(), length};
}

int read_password_file(const char *path, std::string_view &password)
{
    const int named = named_descriptor(path);
    const int fd = named >= 0 ? named : open(path, O_RDONLY | O_CLOEXEC);
    struct stat status {};
    const bool opened = fd >= 0 && fstat(fd, &status) == 0;
    if (opened) warn_if_readable(path, status);
    const bool read =
        opened && (isatty(fd) == 1
                       ? read_at_terminal(fd, password)
                       : read_first_line(fd, named < 0 && S_ISREG(status.st_mode), password)) == 0;
    const int error = errno;
    if (named < 0 && fd >= 0) close(fd);
    if (read) return 0;
    std::array<char, k_message_size> message;
    std::snprintf(message.data(), message.size(), "Couldn't read password file %s", path);
    errno = error;
    if (stop_signal() == 0) std::perror(message.data()); // told to end: nothing to explain
    return 1;
}
