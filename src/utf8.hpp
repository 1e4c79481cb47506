// Well-formed UTF-8, by its first byte: what clean text and JSON both pass whole.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

/// A row for the first bytes of well-formed UTF-8: how long the sequence is, and where its
/// second byte lies; every later byte is a continuation byte. No overlong form, no surrogate,
/// nothing past U+10FFFF.
struct utf8_lead {
    unsigned char first, last; // the first bytes this row is for
    std::size_t length;
    unsigned char second_min, second_max;
};
inline constexpr std::array<utf8_lead, 8> k_utf8_leads{{
    {0xc2, 0xdf, 2, 0x80, 0xbf},
    {0xe0, 0xe0, 3, 0xa0, 0xbf},
    {0xe1, 0xec, 3, 0x80, 0xbf},
    {0xed, 0xed, 3, 0x80, 0x9f},
    {0xee, 0xef, 3, 0x80, 0xbf},
    {0xf0, 0xf0, 4, 0x90, 0xbf},
    {0xf1, 0xf3, 4, 0x80, 0xbf},
    {0xf4, 0xf4, 4, 0x80, 0x8f},
}};
inline constexpr unsigned char k_continuation_min = 0x80;
inline constexpr unsigned char k_continuation_max = 0xbf;

/// The row of k_utf8_leads for a sequence that `c` begins, or none.
inline const utf8_lead *lead_of(char c)
{
    const auto u = static_cast<unsigned char>(c);
    for (const utf8_lead &lead : k_utf8_leads)
        if (u >= lead.first && u <= lead.last) return &lead;
    return nullptr;
}

/// Whether `c` may stand at `at` (1 and on) of a sequence that `lead` begins.
inline bool continues(const utf8_lead &lead, std::size_t at, char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (at == 1) return u >= lead.second_min && u <= lead.second_max;
    return u >= k_continuation_min && u <= k_continuation_max;
}

/// How long the well-formed UTF-8 sequence at the start of `text` is, or 0 when it is none.
inline std::size_t utf8_length(std::string_view text)
{
    const utf8_lead *lead = text.empty() ? nullptr : lead_of(text[0]);
    if (lead == nullptr || text.size() < lead->length) return 0;
    for (std::size_t at = 1; at < lead->length; ++at)
        if (!continues(*lead, at, text[at])) return 0;
    return lead->length;
}
