// MD4 against RFC 1320's test suite, HMAC-MD4 against vectors computed apart from telk,
// SHA-1 against FIPS 180's.
#include "../src/digest.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

template <std::size_t N> std::string hex(const std::array<char, N> &digest)
{
    std::string text;
    for (const char byte : digest) {
        std::array<char, 3> pair;
        std::snprintf(pair.data(), pair.size(), "%02x", static_cast<unsigned char>(byte));
        text += pair.data();
    }
    return text;
}

struct Vector {
    std::string key, message, digest;
};

TEST(Digest, Md4MatchesRfc1320)
{
    const Vector vectors[] = {
        {"", "", "31d6cfe0d16ae931b73c59d7e0c089c0"},
        {"", "a", "bde52cb31de33e46245e05fbdbd6fb24"},
        {"", "abc", "a448017aaf21d8525fc10ae87aa6729d"},
        {"", "message digest", "d9130a8164549fe818874806e1c7014b"},
        {"", "abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
        {"", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "043f8582f241db351ce627e153e7f0e4"},
        {"",
         "1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "e33b4ddc9c38f2199c3e7b164fcc0536"},
    };
    for (const Vector &v : vectors) {
        const std::string_view message = v.message;
        EXPECT_EQ(hex(md4({&message, 1})), v.digest) << v.message;
    }
}

TEST(Digest, HmacMd4MatchesIndependentVectors)
{
    const Vector vectors[] = {
        {"secret", "1700000000.000001 status", "cb60618e1df0fce58927f71ce976725e"},
        {"pw", "abc123 say hello world", "596005a588169f8af78a027ef513cf78"},
        {std::string(80, 'k'), "1.5 x", "45c8da6bc33f4c339f0c09fccbfd665c"}, // key over a block
        {std::string(64, 'k'), "1.5 x", "cac7d6097c4128d0a051818e772a2c61"}, // a block: as is
        {std::string(63, 'k'), "1.5 x", "677c61597bc7c7ad846b0fdccac69c91"},
    };
    for (const Vector &v : vectors) {
        const std::string_view message = v.message;
        EXPECT_EQ(hex(hmac_md4(v.key, {&message, 1})), v.digest) << v.message;
    }
}

TEST(Digest, Sha1MatchesFips180)
{
    const Vector vectors[] = {
        {"", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"", std::string(1000, 'a'), "291e9a6c66994949b57ba5e650361e98fc36b1ba"},
        // a hashed request's, checked on a real server of the third family
        {"", "rcon secretdbee186b00000000 echo hashed ",
         "6fcde6917f990867929546b313cc31d10202332e"},
    };
    for (const Vector &v : vectors) {
        const std::string_view message = v.message;
        EXPECT_EQ(hex(sha1({&message, 1})), v.digest) << v.message.size();
    }
}

TEST(Digest, PartsAreOneMessage)
{
    const std::array<std::string_view, 3> parts{"abc123", " ", "say hello world"};
    EXPECT_EQ(hex(hmac_md4("pw", parts)), "596005a588169f8af78a027ef513cf78");
}

} // namespace
