// JSON strings from any bytes.
#include "json.hpp"

#include <array>

namespace {

constexpr std::string_view k_hex = "0123456789abcdef";
constexpr unsigned char k_first_printable = 0x20;
constexpr unsigned char k_first_high = 0x80;
constexpr unsigned k_low_six = 0x3f;

// UTF-8's byte ranges and Latin-1's encoding, as the standard gives them, read best as numbers.
// NOLINTBEGIN(readability-magic-numbers)

/// How long the well-formed UTF-8 sequence at the start of `text` is, or 0 when it is none.
std::size_t utf8_length(std::string_view text)
{
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) length = 2;
    if (lead >= 0xe0 && lead <= 0xef) length = 3;
    if (lead >= 0xf0 && lead <= 0xf4) length = 4;
    if (lead == 0xe0) second_min = 0xa0; // no overlong form
    if (lead == 0xed) second_max = 0x9f; // no surrogate
    if (lead == 0xf0) second_min = 0x90;
    if (lead == 0xf4) second_max = 0x8f; // nothing past U+10FFFF
    if (length == 0 || text.size() < length || byte(1) < second_min || byte(1) > second_max)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
    return length;
}

// NOLINTEND(readability-magic-numbers)

/// Appends the escape of the control character `c`.
void append_control(text_buffer &into, unsigned char c)
{
    switch (c) {
    case '\n':
        return into.append(std::string_view{"\\n"});
    case '\t':
        return into.append(std::string_view{"\\t"});
    case '\r':
        return into.append(std::string_view{"\\r"});
    default:
        const std::array<char, 6> escape{'\\', 'u', '0', '0', k_hex[c >> 4U], k_hex[c & 0xfU]};
        into.append(escape);
    }
}

} // namespace

void append_json_string(text_buffer &into, std::string_view text)
{
    into.push('"');
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < k_first_printable) {
            append_control(into, c);
            ++at;
        } else if (c == '"' || c == '\\') {
            into.append(std::array<char, 2>{'\\', static_cast<char>(c)});
            ++at;
        } else if (c < k_first_high) {
            into.push(static_cast<char>(c));
            ++at;
        } else if (const std::string_view rest{text.data() + at, text.size() - at};
                   const std::size_t length = utf8_length(rest)) {
            into.append(std::span<const char>{rest.data(), length});
            at += length;
        } else { // a Latin-1 character, in UTF-8
            // NOLINTNEXTLINE(readability-magic-numbers): UTF-8's two-byte form
            into.append(std::array<char, 2>{static_cast<char>(0xc0 | (c >> 6U)),
                                            // NOLINTNEXTLINE(readability-magic-numbers)
                                            static_cast<char>(0x80 | (c & k_low_six))});
            ++at;
        }
    }
    into.push('"');
}
