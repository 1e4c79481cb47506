// JSON strings from any bytes.
#include "json.hpp"
#include "utf8.hpp"

#include <array>

namespace {

constexpr std::string_view k_hex = "0123456789abcdef";
constexpr unsigned char k_first_printable = 0x20;
constexpr unsigned char k_first_high = 0x80;
/// UTF-8's two-byte form of a character below U+0800: its top bits behind the lead, then its
/// low six bits in a continuation byte.
constexpr unsigned k_two_byte_lead = 0xc0;
constexpr unsigned k_six = 6;
constexpr unsigned k_low_six = 0x3f;

/// The C1 controls, U+0080 to U+009F: escaped too, as a reader's terminal may obey them.
constexpr unsigned char k_last_c1 = 0x9f;

/// Whether `text` opens with a C1 control in UTF-8.
bool is_c1_in_utf8(std::string_view text)
{
    return text.size() >= 2 && text[0] == '\xc2' && static_cast<unsigned char>(text[1]) >= k_first_high &&
           static_cast<unsigned char>(text[1]) <= k_last_c1;
}

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
        const std::string_view rest{text.data() + at, text.size() - at};
        if (is_c1_in_utf8(rest)) {
            append_control(into, static_cast<unsigned char>(rest[1]));
            at += 2;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[at]);
        const std::size_t length = c < k_first_high ? 1 : utf8_length(rest);
        if (c < k_first_printable || (length == 0 && c <= k_last_c1)) { // C1: as Latin-1
            append_control(into, c);
            ++at;
        } else if (c == '"' || c == '\\') {
            into.append(std::array<char, 2>{'\\', static_cast<char>(c)});
            ++at;
        } else if (c < k_first_high) {
            into.push(static_cast<char>(c));
            ++at;
        } else if (length > 0) {
            into.append(std::span<const char>{rest.data(), length});
            at += length;
        } else { // a Latin-1 character, in UTF-8
            into.append(
                std::array<char, 2>{static_cast<char>(k_two_byte_lead | (c >> k_six)),
                                    static_cast<char>(k_continuation_min | (c & k_low_six))});
            ++at;
        }
    }
    into.push('"');
}
