#include "digest.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace {

constexpr std::size_t k_block_size = 64;
constexpr std::size_t k_word_size = 4;
constexpr std::size_t k_block_words = k_block_size / k_word_size;
constexpr int k_word_bits = 32;
/// Where the message's length goes in its last block, and how long it is.
constexpr std::size_t k_length_at = 56;
constexpr std::size_t k_length_size = 8;
/// What follows the message: one bit, then zero bits up to its length.
constexpr char k_pad_first = '\x80';
constexpr char k_pad_zero = '\0';
constexpr char k_inner_pad = 0x36;
constexpr char k_outer_pad = 0x5c;

/// The digest's starting words (RFC 1320, 3.3).
constexpr std::array<std::uint32_t, 4> k_start{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

/// Each round's word order, the shifts of its four steps, and what each step adds (RFC 1320,
/// 3.4).
struct round_plan {
    std::array<std::size_t, k_block_words> word;
    std::array<int, 4> shift;
    std::uint32_t add;
};
constexpr std::array<round_plan, 3> k_rounds{{
    {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {3, 7, 11, 19}, 0},
    {{0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15}, {3, 5, 9, 13}, 0x5a827999},
    {{0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15}, {3, 9, 11, 15}, 0x6ed9eba1},
}};

std::uint32_t rotate_left(std::uint32_t x, int n) { return (x << n) | (x >> (k_word_bits - n)); }

/// An MD4 computation under way: the words so far, and the bytes of a block not yet full.
struct md4_state {
    std::array<std::uint32_t, 4> words = k_start;
    std::array<unsigned char, k_block_size> block{};
    std::uint64_t length = 0; // bytes taken in
};

/// The function of round `round` over words b, c and d.
std::uint32_t mix(std::size_t round, std::uint32_t b, std::uint32_t c, std::uint32_t d)
{
    if (round == 0) return (b & c) | (~b & d);
    if (round == 1) return (b & c) | (b & d) | (c & d);
    return b ^ c ^ d;
}

/// Takes the block of `state`, now full, into its words.
void take_block(md4_state &state)
{
    std::array<std::uint32_t, k_block_words> x{};
    for (std::size_t i = 0; i < k_block_size; ++i) // little-endian words
        x[i / k_word_size] |= static_cast<std::uint32_t>(state.block[i])
                              << (CHAR_BIT * (i % k_word_size));
    std::array<std::uint32_t, 4> v = state.words; // a, b, c, d
    for (std::size_t round = 0; round < k_rounds.size(); ++round) {
        const round_plan &plan = k_rounds[round];
        for (std::size_t step = 0; step < k_block_words; ++step) {
            // the steps change a, d, c and b in turn, each mixing the other three in order
            const std::size_t a = (4 - step % 4) % 4;
            const std::uint32_t sum = v[a] +
                                      mix(round, v[(a + 1) % 4], v[(a + 2) % 4], v[(a + 3) % 4]) +
                                      x[plan.word[step]] + plan.add;
            v[a] = rotate_left(sum, plan.shift[step % 4]);
        }
    }
    for (std::size_t i = 0; i < v.size(); ++i)
        state.words[i] += v[i];
}

void update(md4_state &state, std::string_view bytes)
{
    for (const char c : bytes) {
        state.block[state.length++ % k_block_size] = static_cast<unsigned char>(c);
        if (state.length % k_block_size == 0) take_block(state);
    }
}

md4_digest finish(md4_state &state)
{
    const std::uint64_t bits = state.length * CHAR_BIT;
    update(state, {&k_pad_first, 1});
    while (state.length % k_block_size != k_length_at)
        update(state, {&k_pad_zero, 1});
    std::array<char, k_length_size> length{};
    for (std::size_t i = 0; i < length.size(); ++i)
        length[i] = static_cast<char>(bits >> (CHAR_BIT * i));
    update(state, {length.data(), length.size()});
    md4_digest digest{};
    for (std::size_t i = 0; i < digest.size(); ++i)
        digest[i] =
            static_cast<char>(state.words[i / k_word_size] >> (CHAR_BIT * (i % k_word_size)));
    return digest;
}

/// The key of HMAC, a block long, each byte flipped by `pad`.
std::array<char, k_block_size> padded_key(std::string_view key, char pad)
{
    std::array<char, k_block_size> padded{};
    std::copy(key.begin(), key.end(), padded.begin());
    for (char &c : padded)
        c = static_cast<char>(c ^ pad);
    return padded;
}

} // namespace

md4_digest md4(std::span<const std::string_view> parts)
{
    md4_state state;
    for (const std::string_view part : parts)
        update(state, part);
    return finish(state);
}

md4_digest hmac_md4(std::string_view key, std::span<const std::string_view> parts)
{
    md4_digest short_key{};
    if (key.size() > k_block_size) { // such a key stands for its digest
        short_key = md4({&key, 1});
        key = {short_key.data(), short_key.size()};
    }
    const std::array<char, k_block_size> inner = padded_key(key, k_inner_pad);
    md4_state state;
    update(state, {inner.data(), inner.size()});
    for (const std::string_view part : parts)
        update(state, part);
    const md4_digest inside = finish(state);
    const std::array<char, k_block_size> outer = padded_key(key, k_outer_pad);
    const std::array<std::string_view, 2> outside{std::string_view{outer.data(), outer.size()},
                                                  std::string_view{inside.data(), inside.size()}};
    return md4(outside);
}
