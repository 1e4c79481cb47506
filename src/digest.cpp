// MD4, HMAC-MD4 and SHA-1, written out from their standards; one block loop serves both hashes.
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

/// SHA-1's starting words (FIPS 180-4, 5.3.1).
constexpr std::array<std::uint32_t, 5> k_sha1_start{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476,
                                                    0xc3d2e1f0};
/// What each of SHA-1's four rounds of twenty steps adds.
constexpr std::array<std::uint32_t, 4> k_sha1_add{0x5a827999, 0x6ed9eba1, 0x8f1bbcdc, 0xca62c1d6};
constexpr std::size_t k_sha1_steps = 80;
constexpr std::size_t k_sha1_round_steps = 20;
constexpr std::size_t k_sha1_words = 5;
/// Each later word of a block's schedule mixes these earlier ones (FIPS 180-4, 6.1.2).
constexpr std::array<std::size_t, 4> k_sha1_taps{3, 8, 14, 16};
/// What each step rotates its first and its second word by.
constexpr int k_sha1_rotate_a = 5;
constexpr int k_sha1_rotate_b = 30;

/// A digest under way: its words so far, and the bytes of a block not yet full. Four words
/// make MD4, which reads and writes them little-endian; five make SHA-1, big-endian.
template <std::size_t Words> struct hash_state {
    static constexpr bool big_endian = Words == k_sha1_words;
    std::array<std::uint32_t, Words> words;
    std::array<unsigned char, k_block_size> block{};
    std::uint64_t length = 0; // bytes taken in
};
using md4_state = hash_state<4>;
using sha1_state = hash_state<k_sha1_words>;

/// Byte `i` of a sequence of words, or of a 64-bit length, in the order of `big_endian`.
constexpr int byte_shift(std::size_t i, std::size_t width, bool big_endian)
{
    return static_cast<int>(CHAR_BIT * (big_endian ? width - 1 - i % width : i % width));
}

/// The block of `state` as words.
template <std::size_t Words>
std::array<std::uint32_t, k_block_words> block_words(const hash_state<Words> &state)
{
    std::array<std::uint32_t, k_block_words> x{};
    for (std::size_t i = 0; i < k_block_size; ++i)
        x[i / k_word_size] |= static_cast<std::uint32_t>(state.block[i])
                              << byte_shift(i, k_word_size, state.big_endian);
    return x;
}

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
    const std::array<std::uint32_t, k_block_words> x = block_words(state);
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

/// Takes the block of `state`, now full, into its words.
void take_block(sha1_state &state)
{
    std::array<std::uint32_t, k_sha1_steps> w{};
    const std::array<std::uint32_t, k_block_words> x = block_words(state);
    std::copy(x.begin(), x.end(), w.begin());
    for (std::size_t t = k_block_words; t < w.size(); ++t) {
        std::uint32_t mixed = 0;
        for (const std::size_t tap : k_sha1_taps)
            mixed ^= w[t - tap];
        w[t] = rotate_left(mixed, 1);
    }
    std::array<std::uint32_t, k_sha1_words> v = state.words; // a, b, c, d, e
    for (std::size_t t = 0; t < w.size(); ++t) {
        const std::size_t round = t / k_sha1_round_steps;
        const std::uint32_t b = v[1];
        const std::uint32_t c = v[2];
        const std::uint32_t d = v[3];
        const std::uint32_t f = round == 0   ? (b & c) | (~b & d)
                                : round == 2 ? (b & c) | (b & d) | (c & d)
                                             : b ^ c ^ d;
        const std::uint32_t next =
            rotate_left(v[0], k_sha1_rotate_a) + f + v[4] + k_sha1_add[round] + w[t];
        v = {next, v[0], rotate_left(b, k_sha1_rotate_b), c, d};
    }
    for (std::size_t i = 0; i < v.size(); ++i)
        state.words[i] += v[i];
}

template <std::size_t Words> void update(hash_state<Words> &state, std::string_view bytes)
{
    for (const char c : bytes) {
        state.block[state.length++ % k_block_size] = static_cast<unsigned char>(c);
        if (state.length % k_block_size == 0) take_block(state);
    }
}

template <std::size_t Words> std::array<char, Words * k_word_size> finish(hash_state<Words> &state)
{
    const std::uint64_t bits = state.length * CHAR_BIT;
    update(state, {&k_pad_first, 1});
    while (state.length % k_block_size != k_length_at)
        update(state, {&k_pad_zero, 1});
    std::array<char, k_length_size> length{};
    for (std::size_t i = 0; i < length.size(); ++i)
        length[i] = static_cast<char>(bits >> byte_shift(i, k_length_size, state.big_endian));
    update(state, {length.data(), length.size()});
    std::array<char, Words * k_word_size> digest{};
    for (std::size_t i = 0; i < digest.size(); ++i)
        digest[i] = static_cast<char>(state.words[i / k_word_size] >>
                                      byte_shift(i, k_word_size, state.big_endian));
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
    md4_state state{k_start};
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
    md4_state state{k_start};
    update(state, {inner.data(), inner.size()});
    for (const std::string_view part : parts)
        update(state, part);
    const md4_digest inside = finish(state);
    const std::array<char, k_block_size> outer = padded_key(key, k_outer_pad);
    const std::array<std::string_view, 2> outside{std::string_view{outer.data(), outer.size()},
                                                  std::string_view{inside.data(), inside.size()}};
    return md4(outside);
}

sha1_digest sha1(std::span<const std::string_view> parts)
{
    sha1_state state{k_sha1_start};
    for (const std::string_view part : parts)
        update(state, part);
    return finish(state);
}
