// The request forms: plain, signed with HMAC-MD4 by time or challenge, hashed with SHA-1.
#include "request.hpp"
#include "digest.hpp"
#include "protocol.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>

namespace {

using std::chrono::microseconds;

/// Lays out `parts` one after the other at the start of `buffer`; no terminator. Returns the
/// request's length; when it does not fit, nothing is laid out.
std::size_t lay_parts(std::span<char> buffer, std::span<const std::string_view> parts)
{
    std::size_t length = 0;
    for (const std::string_view part : parts)
        length += part.size();
    if (length > buffer.size()) return length;
    char *at = buffer.data();
    for (const std::string_view part : parts)
        at = std::copy(part.begin(), part.end(), at);
    return length;
}

/// Holds the time of a signed request, "seconds.microseconds".
constexpr std::size_t k_time_size = 32;

/// The time to sign a request with, "seconds.microseconds", in `room`: later than the last
/// one, so that no two requests of a run share it.
std::string_view signing_time(std::span<char> room)
{
    static microseconds last{};
    last = std::max(last + microseconds(1), wall_clock());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(last);
    const int length = std::snprintf(room.data(), room.size(), "%lld.%06lld",
                                     static_cast<long long>(seconds.count()),
                                     static_cast<long long>((last - seconds).count()));
    return {room.data(), static_cast<std::size_t>(length)};
}

/// Lays out the request that sends `command` signed with `password` and the time or
/// `challenge`, as `form` says: the password never travels.
std::size_t lay_signed(std::span<char> buffer, request_form form, std::string_view password,
                       std::string_view command, std::string_view challenge)
{
    std::array<char, k_time_size> time;
    const bool by_time = form == request_form::signed_by_time;
    const std::string_view token = by_time ? signing_time(time) : challenge;
    const std::array<std::string_view, 3> signed_text{token, " ", command};
    const md4_digest signature = hmac_md4(password, signed_text);
    const std::array<std::string_view, 7> parts{k_header,
                                                by_time ? "srcon HMAC-MD4 TIME "
                                                        : "srcon HMAC-MD4 CHALLENGE ",
                                                {signature.data(), signature.size()},
                                                " ",
                                                token,
                                                " ",
                                                command};
    return lay_parts(buffer, parts);
}

/// A 64-bit time, as 16 hexadecimal digits of its bytes in little-endian order.
constexpr std::size_t k_hashed_time_size = 16;
/// The servers compare the hash's hexadecimal digits in upper case.
constexpr std::string_view k_upper_hex = "0123456789ABCDEF";
constexpr std::string_view k_lower_hex = "0123456789abcdef";
constexpr unsigned k_nibble_bits = 4;
constexpr unsigned k_nibble_mask = 0xf;

/// Writes the bytes of `bytes` as hexadecimal digits from `digits` into `room`.
void put_hex(std::span<const unsigned char> bytes, std::string_view digits, char *room)
{
    for (const unsigned char byte : bytes) {
        *room++ = digits[byte >> k_nibble_bits];
        *room++ = digits[byte & k_nibble_mask];
    }
}

/// The command's words as the server splits them, each followed by one blank: a word ends at
/// a blank or a double quote, and a double-quoted group is one word without its quotes.
/// Laid out in `room`, as long as `command` and one more byte: no word list is longer.
std::string_view hashed_words(std::string_view command, std::span<char> room)
{
    std::size_t length = 0;
    for (std::size_t at = 0; at < command.size();) {
        const char c = command[at];
        if (c == ' ' || c == '\t') {
            ++at;
            continue;
        }
        const bool quoted = c == '"';
        const std::size_t start = at + (quoted ? 1 : 0);
        const std::size_t end =
            quoted ? std::min(command.find('"', start), command.size())
                   : std::min(command.find_first_of(" \t\"", start), command.size());
        std::copy(command.begin() + static_cast<long>(start),
                  command.begin() + static_cast<long>(end),
                  room.begin() + static_cast<long>(length));
        length += end - start;
        room[length++] = ' ';
        at = end + (quoted && end < command.size() ? 1 : 0);
    }
    return {room.data(), length};
}

/// Lays out the request that sends `command` hashed with `password` and the time: the
/// password never travels.
std::size_t lay_hashed(std::span<char> buffer, std::string_view password, std::string_view command)
{
    std::array<unsigned char, sizeof(std::uint64_t)> seconds{};
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(wall_clock()).count();
    for (std::size_t i = 0; i < seconds.size(); ++i)
        seconds[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(now) >> (CHAR_BIT * i));
    std::array<char, k_hashed_time_size> time;
    put_hex(seconds, k_lower_hex, time.data());
    const std::string_view time_text{time.data(), time.size()};
    constexpr std::string_view verb = "rcon ";
    const std::array<char, 2 * k_sha1_size> hash{}; // its place, filled in once laid out
    const std::array<std::string_view, 6> parts{k_header,  verb, {hash.data(), hash.size()},
                                                time_text, " ",  command};
    const std::size_t length = lay_parts(buffer, parts);
    if (length > buffer.size()) return length;
    // A request that fits holds a command shorter than the buffer: its words fit this room.
    static std::array<char, k_exchange_size> room;
    const std::string_view words = hashed_words(command, room);
    const std::array<std::string_view, 5> hashed{verb, password, time_text, " ", words};
    const sha1_digest digest = sha1(hashed);
    put_hex({reinterpret_cast<const unsigned char *>(digest.data()), digest.size()}, k_upper_hex,
            buffer.data() + k_header.size() + verb.size());
    return length;
}

} // namespace

std::size_t lay_formed_request(std::span<char> buffer, request_form form,
                               std::string_view password, std::string_view command,
                               std::string_view challenge)
{
    if (form == request_form::hashed_by_time) return lay_hashed(buffer, password, command);
    return lay_signed(buffer, form, password, command, challenge);
}
