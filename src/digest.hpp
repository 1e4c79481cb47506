// MD4 and HMAC-MD4, with which the second family of servers checks signed requests, and
// SHA-1, with which the third checks hashed ones.
//
// Written here rather than taken from a library: a few dozen lines, where a library would
// add its start-up cost to every run of telk and a dependency to its package, for one option.
// MD4 and SHA-1 are broken as hashes; they are used here only because those servers ask for
// them.
#pragma once

#include <array>
#include <span>
#include <string_view>

/// An MD4 digest: 16 bytes.
inline constexpr std::size_t k_md4_size = 16;
using md4_digest = std::array<char, k_md4_size>;

/// The MD4 digest (RFC 1320) of `parts` laid end to end.
md4_digest md4(std::span<const std::string_view> parts);

/// HMAC-MD4 (RFC 2104, with a 64-byte block) keyed with `key`, of `parts` laid end to end.
md4_digest hmac_md4(std::string_view key, std::span<const std::string_view> parts);

/// A SHA-1 digest: 20 bytes.
inline constexpr std::size_t k_sha1_size = 20;
using sha1_digest = std::array<char, k_sha1_size>;

/// The SHA-1 digest (FIPS 180-4) of `parts` laid end to end.
sha1_digest sha1(std::span<const std::string_view> parts);
