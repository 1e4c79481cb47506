#include "output.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
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
