// MD4 against RFC 1320's test suite, HMAC-MD4 against vectors computed apart from telk.
#include "../src/digest.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const md4_digest &digest)
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
    };
    for (const Vector &v : vectors) {
        const std::string_view message = v.message;
        EXPECT_EQ(hex(hmac_md4(v.key, {&message, 1})), v.digest) << v.message;
    }
}

TEST(Digest, PartsAreOneMessage)
{
    const std::array<std::string_view, 3> parts{"abc123", " ", "say hello world"};
    EXPECT_EQ(hex(hmac_md4("pw", parts)), "596005a588169f8af78a027ef513cf78");
}

} // namespace
