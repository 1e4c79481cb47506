// What requests, replies and the exchange share: the datagrams' opening, the families of
// servers and how their replies read, and the clocks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string_view>

#include <time.h>

/// Room for one exchange: the request is laid out in it, then the reply received over it. The
/// longest request, and the longest reply read to a newline.
inline constexpr std::size_t k_exchange_size = 32768;

/// Opens every datagram, in both directions.
inline constexpr std::string_view k_header{"\xff\xff\xff\xff", 4};

/// Asks a server for a challenge: every family answers it, and it runs nothing.
inline constexpr std::string_view k_ask_challenge{"\xff\xff\xff\xffgetchallenge"};
/// How the second family answers it, the challenge behind; the first family answers with
/// the longer word, and takes no signed requests.
inline constexpr std::string_view k_challenge_answer{"\xff\xff\xff\xff"
                                                     "challenge "};
inline constexpr std::string_view k_plain_challenge_answer{"\xff\xff\xff\xff"
                                                           "challengeResponse"};

/// The challenge in `answer`, which starts with k_challenge_answer: what follows, up to a zero
/// byte. (remove_prefix: substr would bring the C++ library's exceptions into telk.)
inline std::string_view challenge_in(std::string_view answer)
{
    answer.remove_prefix(k_challenge_answer.size());
    return {answer.data(), std::min(answer.find('\0'), answer.size())};
}

/// How a family of servers opens a reply's text and writes colour codes.
enum class text_dialect {
    /// A first line that is exactly "print"; a caret and a digit or an ASCII letter.
    print_line,
    /// A first byte 'n'; a caret and a digit, ^xRGB (three hexadecimal digits) for a 24-bit
    /// colour, and ^^ for a caret; an 8-bit character set of its own.
    marker_n,
};

/// The families of servers, as far as their replies tell them apart.
enum class server_family {
    unknown,
    /// Replies open with "print"; about ten requests at once, then one a second.
    print_line,
    /// Replies open with 'n'; requests may be signed; no limit.
    marker_n,
    /// Replies open with 'n' and each datagram ends with a zero byte; one request a second.
    marker_n_zero,
};

/// A time on the monotonic clock, which stopping telk does not stop.
using instant = std::chrono::nanoseconds;

/// The time now. (std::chrono::steady_clock would say the same, but it lives in libstdc++,
/// which telk otherwise does without at run time.)
inline instant now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

/// The time on the system's clock, since the epoch.
inline std::chrono::microseconds wall_clock()
{
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    return std::chrono::seconds(clock.tv_sec) +
           std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::nanoseconds(clock.tv_nsec));
}

/// `span` as the system's timespec, for nanosleep and ppoll.
inline timespec as_timespec(std::chrono::nanoseconds span)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return {seconds.count(), (span - seconds).count()};
}
