// Requests to the family of servers whose replies open with 'n': signed with the time or
// with a challenge, or plain, and their replies read in that family's dialect.
#include "../src/digest.hpp"
#include "harness.hpp"

#include <chrono>
#include <cstdlib>
#include <set>

namespace {

using namespace telk_test;

const std::string k_time_verb = H + "srcon HMAC-MD4 TIME ";

/// Checks that `requests` send `commands` in order, each signed with `password` and a time
/// of its own that is near now.
std::function<void(const Strings &)> signed_by_time(const std::string &password,
                                                    const Strings &commands)
{
    return [=](const Strings &requests) {
        ASSERT_EQ(requests.size(), commands.size());
        std::set<std::string> times;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const std::string &sent = requests[i];
            const std::string tail = " " + commands[i];
            ASSERT_THAT(sent, StartsWith(k_time_verb));
            ASSERT_THAT(sent, testing::EndsWith(tail));
            const std::string signature = sent.substr(k_time_verb.size(), 16);
            const std::string between = sent.substr(k_time_verb.size() + 16);
            ASSERT_THAT(between, StartsWith(" "));
            const std::string time = between.substr(1, between.size() - 1 - tail.size());
            EXPECT_THAT(time, testing::MatchesRegex("[0-9]+\\.[0-9][0-9][0-9][0-9][0-9][0-9]"));
            const double now =
                std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                    .count();
            EXPECT_NEAR(std::strtod(time.c_str(), nullptr), now, 60) << time;
            const std::array<std::string_view, 3> text{time, " ", commands[i]};
            const md4_digest expected = hmac_md4(password, text);
            EXPECT_EQ(signature, std::string(expected.data(), expected.size())) << time;
            times.insert(time);
        }
        EXPECT_EQ(times.size(), requests.size()) << "two requests share a time";
    };
}

/// The 16 bytes of HMAC-MD4("pw", "abc123 say hello world"), computed apart from telk.
const std::string k_challenge_signature =
    "\x59\x60\x05\xa5\x88\x16\x9f\x8a\xf7\x8a\x02\x7e\xf5\x13\xcf\x78";

const Case k_signed[] = {
    {.name = "time_signs_each_request_with_a_time_of_its_own",
     .script = {.args = {"-s", "time", k_at, "s3cret", "status", "status"},
                .replies = {{H + "nA\n"}, {H + "nB\n"}}},
     .check_requests = signed_by_time("s3cret", {"status", "status"}),
     .out = "nA\n\nnB\n\n"},
    {.name = "challenge_is_asked_for_and_signed",
     .script = {.args = {"-s", "challenge", k_at, "pw", "say hello world"},
                .replies = {{H + "challenge abc123\0more"s}, {H + "nhello\n"}}},
     .requests = {H + "getchallenge", H + "srcon HMAC-MD4 CHALLENGE " + k_challenge_signature +
                                          " abc123 say hello world"},
     .out = "nhello\n\n"},
    {.name = "a_second_answer_with_the_challenge_is_no_reply_text",
     .script = {.args = {"-s", "challenge", k_at, "pw", "a"},
                .replies = {{H + "challenge 1001\0"s, H + "challenge 1001\0"s}, {H + "nok\n"}}},
     .check_requests = [](const Strings &r) { EXPECT_THAT(r, testing::SizeIs(2)); },
     .out = "nok\n\n"},
    {.name = "a_refused_signed_request_goes_again_with_a_fresh_challenge",
     .script = {.args = {"-s", "challenge", k_at, "pw", "a"},
                .replies = {{H + "challenge 1\0"s}, {H + "nBad rcon_password.\n"},
                            {H + "challenge 2\0"s}, {H + "nBad rcon_password.\n"}}},
     .check_requests =
         [](const Strings &r) {
             ASSERT_THAT(r, testing::SizeIs(4));
             EXPECT_EQ(r[2], H + "getchallenge");
             EXPECT_THAT(r[3], testing::EndsWith(" 2 a"));
         },
     .out = "nBad rcon_password.\n\n",
     .err = Eq("The server refused the password, or takes plain requests only: leave -s out\n"),
     .status = 1},
    {.name = "no_challenge_in_time_fails",
     .script = {.args = {"-w", "0.3", "-s", "challenge", k_at, "pw", "a", "b"},
                .replies = {{H + "nstray\n"}}},
     .requests = {H + "getchallenge"},
     .err = Eq("No challenge came from the server: Connection timed out\n"),
     .status = 1},
    {.name = "no_challenge_from_a_silent_server_says_why",
     .script = {.args = {"-w", "0.4", "-s", "challenge", k_at, "pw", "a"}},
     .requests = {H + "getchallenge"},
     .err = StartsWith("No challenge came from the server: Connection timed out\nNothing answers at "),
     .status = 1},
    {.name = "time_to_a_server_of_plain_requests_fails_at_once",
     .script = {.args = {"-s", "time", k_at, "pw", "a"},
                .probe_answer = {H + "challengeResponse 42"},
                .deadline = k_at_once},
     .check_requests = [](const Strings &requests) { EXPECT_EQ(requests.size(), 1U); },
     .err = Eq("The server answered as servers of plain requests do: leave -s out\n"),
     .status = 1},
    {.name = "second_family_gets_signed_requests_without_an_option",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{},
                            {H + "challenge 1\0"s},
                            {H + "nA\n"},
                            {H + "challenge 2\0"s},
                            {H + "nB\n"}},
                .probe_answer = {H + "challenge 42\0"s},
                .deadline = k_at_once},
     .check_requests =
         [](const Strings &requests) {
             ASSERT_EQ(requests.size(), 5U);
             EXPECT_EQ(requests[0], request("a"));
             EXPECT_THAT(requests[2], testing::EndsWith(" 1 a"));
             EXPECT_THAT(requests[4], testing::EndsWith(" 2 b"));
         },
     .out = "nA\n\nnB\n\n"},
    {.name = "plain_sends_the_password_and_prints_replies_as_they_are",
     .script = {.args = {"-s", "plain", k_at, "pw", "a"}, .replies = {{H + "nA\n"}}},
     .requests = {request("a")},
     .out = "nA\n\n"},
    {.name = "collected_pieces_lose_their_marker",
     .script = {.args = {"-s", "plain", "-q", "0.1", k_at, "pw", "a"},
                .replies = {{H + "nab", H + "nncd\n"}}},
     .requests = {request("a")},
     .out = "nabncd\n\n"},
    {.name = "clean_text_drops_the_marker_and_codes_split_across_pieces",
     .script = {.args = {"-s", "plain", "-q", "0.1", "-c", k_at, "pw", "a"},
                .replies = {{H + "nhost: ^1red^x", H + "nF80orange^^ caret ^a\n"}}},
     .requests = {request("a")},
     .out = "host: redorange^ caret ^a\n"},
    {.name = "terminal_shows_24_bit_colours",
     .script = {.args = {"-w", "1", "-s", "plain", "-c", k_at, "pw", "a"},
                .replies = {{H + "n^xF80hot^7 ^^ ^xZ\n"}},
                .terminal_output = true},
     .requests = {request("a")},
     .out = "\x1b[38;2;255;136;0mhot\x1b[0m ^ ^xZ\n"},
    {.name = "unknown_form_sends_nothing",
     .script = {.args = {"-s", "hmac", k_at, "pw", "a"}},
     .err = Eq("Option -s takes time, challenge, plain or sha1\n"),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Signed, Telk, testing::ValuesIn(k_signed), case_name);
INSTANTIATE_TEST_SUITE_P(Signed, Faces, testing::ValuesIn(k_signed), case_name);

} // namespace
