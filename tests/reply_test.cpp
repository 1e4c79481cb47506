// Replies of every family read by what they open with, their refusals, and requests paced
// as each family allows.
#include "../src/digest.hpp"
#include "harness.hpp"

#include <ctime>

namespace {

using namespace telk_test;
using namespace std::chrono_literals;

const std::string k_limited = H + "nBad rcon_password.\n\0"s;

/// The command that `sent` carries, as a plain request with password "pw".
std::string command_of(const std::string &sent) { return sent.substr(request("").size()); }

/// Whether the last of `times` came within a second of the one before, past the first
/// `allowance` requests.
bool too_soon(const Times &times, std::size_t allowance)
{
    return times.size() > allowance && times.back() - times[times.size() - 2] < 1s;
}

/// A third-family server with password "pw": it answers "ran COMMAND", and refuses a wrong
/// password or a request within a second of the one before.
Strings third_family(const Strings &requests, const Times &times)
{
    if (too_soon(times, 1) || !requests.back().starts_with(request(""))) return {k_limited};
    return {H + "nran " + command_of(requests.back()) + "\n\0"s};
}

/// Whether a bucket that takes `burst` requests at once and lets one out a second takes the
/// last of `times`.
bool bucket_takes(const Times &times, double burst)
{
    double held = 0;
    bool taken = false;
    for (std::size_t i = 0; i < times.size(); ++i) {
        if (i > 0) held = std::max(0.0, held - std::chrono::duration<double>(times[i] - times[i - 1]).count());
        taken = held + 1 <= burst;
        if (taken) held += 1;
    }
    return taken;
}

/// A first-family server that takes ten requests at once, then one a second, and drops the
/// rest without a word.
Strings first_family(const Strings &requests, const Times &times)
{
    if (!bucket_takes(times, 10)) return {};
    return {k_first + command_of(requests.back()) + "\n"};
}

/// A server of the `family`'s opening that answers each request at once with the whole seconds
/// since the first.
Respond seconds_since_first(const std::string &opening)
{
    return [opening](const Strings &, const Times &times) -> Strings {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(times.back() - times[0]);
        return {H + opening + std::to_string(seconds.count()) + "\n"};
    };
}

/// `count` replies that each say `text`, as printed.
std::string repeated_text(int count, const std::string &text)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += text;
    return out;
}

/// The commands "1" to "`count`".
Strings numbered(Strings args, int count)
{
    for (int i = 1; i <= count; ++i)
        args.push_back(std::to_string(i));
    return args;
}

/// A run of `args` and commands "1" to "12" against first_family, whose replies to the first
/// `answered` of them come out; `status` 1: the next one goes unanswered.
Case twelve(const char *name, Strings args, int answered, int status = 0)
{
    Case c{.name = name, .script = {.respond = first_family}, .status = status};
    std::string out;
    for (int i = 1; i <= 12; ++i) {
        const std::string command = std::to_string(i);
        args.push_back(command);
        if (i <= answered + status) c.requests.push_back(request(command));
        if (i <= answered) out += "print\n" + command + "\n\n";
    }
    c.script.args = std::move(args);
    c.out = out;
    if (status != 0) c.err = k_unanswered;
    return c;
}

/// Checks that the requests are `before`, then one that sends `command` hashed with `password`,
/// the time near now and the command's `words`, without the password.
std::function<void(const Strings &)> hashed(std::string password, std::string command,
                                            std::string words, Strings before = {})
{
    return [=](const Strings &requests) {
        ASSERT_EQ(requests.size(), before.size() + 1);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), requests.begin()));
        const std::string verb = H + "rcon ", &sent = requests.back();
        ASSERT_EQ(sent.size(), verb.size() + 40 + 16 + 1 + command.size());
        EXPECT_EQ(sent.substr(sent.size() - command.size() - 1), " " + command);
        const std::string time = sent.substr(verb.size() + 40, 16);
        long long seconds = 0;
        for (int i = 7; i >= 0; --i)
            seconds = seconds * 256 + std::stoll(time.substr(2 * i, 2), nullptr, 16);
        EXPECT_NEAR(seconds, std::time(nullptr), 60) << time;
        const std::array<std::string_view, 5> text{"rcon ", password, time, " ", words};
        std::string digest;
        for (const char byte : sha1(text))
            for (const int nibble : {(byte >> 4) & 0xf, byte & 0xf})
                digest += "0123456789ABCDEF"[nibble];
        EXPECT_EQ(sent.substr(verb.size(), 40), digest);
        EXPECT_EQ(sent.find(password), std::string::npos);
    };
}

const Case k_families[] = {
    {.name = "a_prefix_of_the_third_familys_refusal_is_text",
     .script = {.args = {k_at, "pw", "a"}, .replies = {{H + "nBad r\0"s}}},
     .requests = {request("a")},
     .out = "nBad r\n"},
    {.name = "zero_byte_ends_a_third_family_reply_and_is_no_text",
     .script = {.args = {"-i", "0", k_at, "pw", "echo hello", "quiet"},
                .replies = {{H + "nhello \n\0"s}, {H + "n\0"s}}},
     .requests = {request("echo hello"), request("quiet")},
     .out = "nhello \n\nn\n"},
    {.name = "quiet_drops_each_datagrams_zero_byte",
     .script = {.args = {"-q", "0.1", k_at, "pw", "cvarlist"},
                .replies = {{H + "na\n\0"s, H + "nb\n\0"s}}},
     .requests = {request("cvarlist")},
     .out = "na\nb\n\n"},
    {.name = "clean_text_reads_the_dialect_the_reply_opens_with",
     .script = {.args = {"-i", "0", "-c", k_at, "pw", "a", "b"},
                .replies = {{H + "nplain ^xF80c^^\n"},
                            {H + "n\x10\x12\x1b\x11 \xc1\xe9 \xc3\xa9 ^x\x10\x11\x12z\n\0"s}}},
     .requests = {request("a"), request("b")},
     .out = "plain c^\n[09] Ai \xc3\xa9 ^x[]0z\n"},
    {.name = "third_family_refusing_twice_at_first_is_tried_hashed_then_a_refusal",
     .script = {.args = {k_at, "wrong", "a", "b"}, .respond = third_family},
     .check_requests = hashed("wrong", "a", "a ", {request("a", "wrong"), request("a", "wrong")}),
     .out = "nBad rcon_password.\n\n",
     .err = Eq(k_refusal),
     .status = 1},
    {.name = "third_family_limit_after_a_taken_command_is_waited_out",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + "na\n\0"s}, {k_limited}, {k_limited}, {H + "nb\n\0"s}}},
     .requests = {request("a"), request("b"), request("b"), request("b")},
     .out = "na\n\nnb\n\n"},
    {.name = "second_family_is_not_paced",
     .script = {.args = numbered({"-q", "0", k_at, "pw"}, 15), .respond = seconds_since_first("n")},
     .check_requests = [](const Strings &requests) { EXPECT_EQ(requests.size(), 15U); },
     .out = repeated_text(15, "n0\n\n")},
    {.name = "first_family_takes_ten_at_once_then_one_a_second",
     .script = {.args = numbered({"-q", "0", k_at, "pw"}, 12),
                .respond = seconds_since_first("print\n")},
     .check_requests = [](const Strings &requests) { EXPECT_EQ(requests.size(), 12U); },
     .out = repeated_text(10, "print\n0\n\n") + "print\n1\n\nprint\n2\n\n"},
    {.name = "third_family_refusing_at_first_once_is_tried_again",
     .script = {.args = {k_at, "pw", "a"}, .replies = {{k_limited}, {H + "nA\n\0"s}}},
     .requests = {request("a"), request("a")},
     .out = "nA\n\n"},
    {.name = "third_family_is_paced_one_a_second",
     .script = {.args = {k_at, "pw", "a", "b", "c"}, .respond = third_family},
     .requests = {request("a"), request("b"), request("c")},
     .out = "nran a\n\nnran b\n\nnran c\n\n"},
    {.name = "third_family_limit_is_waited_out_unpaced_and_unprinted",
     .script = {.args = {"-i", "0", "-q", "0.1", k_at, "pw", "a", "b"}, .respond = third_family},
     .requests = {request("a"), request("b"), request("b")},
     .out = "nran a\n\nnran b\n\n"},
    twelve("first_family_allowance_is_kept", {k_at, "pw"}, 12),
    twelve("a_least_pause_too_small_to_count_keeps_the_pacing",
           {"-q", "0", "-i", "0.0000004", k_at, "pw"}, 12),
    {.name = "a_family_without_limit_fills_no_bucket",
     .script = {.args = numbered({"-q", "0", k_at, "pw"}, 22),
                .respond =
                    [](const Strings &requests, const Times &times) {
                        const std::string opening = requests.size() <= 20 ? "n" : "print\n";
                        return seconds_since_first(opening)(requests, times);
                    }},
     .check_requests = [](const Strings &requests) { EXPECT_EQ(requests.size(), 22U); },
     .out = repeated_text(20, "n0\n\n") + repeated_text(2, "print\n0\n\n")},
    {.name = "a_refusal_and_its_copy_are_one_refusal",
     .script = {.args = {k_at, "pw", "a", "b", "c"},
                .replies = {{H + "na\n\0"s}, {k_limited, k_limited}, {H + "nb\n\0"s}, {H + "nc\n\0"s}}},
     .requests = {request("a"), request("b"), request("b"), request("c")},
     .out = "na\n\nnb\n\nnc\n\n"},
    {.name = "a_copy_of_a_refusal_waiting_is_dropped_before_the_retry",
     .script = {.args = {"-q", "0", k_at, "pw", "a", "b", "c"},
                .replies = {{H + "na\n\0"s}, {k_limited, k_limited}, {H + "nb\n\0"s}, {H + "nc\n\0"s}}},
     .requests = {request("a"), request("b"), request("b"), request("c")},
     .out = "na\n\nnb\n\nnc\n\n"},
    {.name = "words_of_a_refusal_followed_by_more_are_output",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + "na\n\0"s}, {k_limited, H + "nmore\n\0"s}}},
     .requests = {request("a"), request("b")},
     .out = "na\n\nnBad rcon_password.\nmore\n\n"},
    {.name = "a_retry_that_cannot_leave_in_time_is_not_planned",
     .script = {.args = {"-w", "1.05", k_at, "pw", "a"}, .replies = {{k_limited}}},
     .requests = {request("a")},
     .out = "nBad rcon_password.\n\n",
     .err = Eq("The server refused the password, or wants hashed requests: try -s sha1\n"),
     .status = 1},
    {.name = "third_family_wanting_hashed_requests_gets_them",
     .script = {.args = {k_at, "pw", "a", "b"},
                .respond =
                    [](const Strings &requests, const Times &) {
                        if (requests.back().starts_with(request(""))) return Strings{k_limited};
                        return Strings{H + "nran\n\0"s};
                    }},
     .check_requests =
         [](const Strings &requests) {
             ASSERT_EQ(requests.size(), 4U);
             EXPECT_EQ(requests[1], request("a"));
             EXPECT_THAT(requests[3], testing::EndsWith(" b"));
             EXPECT_EQ(requests[3].find("pw"), std::string::npos);
         },
     .out = "nran\n\nnran\n\n"},
    {.name = "sha1_refused_says_the_server_may_take_plain_requests_only",
     .script = {.args = {"-s", "sha1", k_at, "pw", "a"}, .respond = third_family},
     .check_requests = [](const Strings &requests) { EXPECT_EQ(requests.size(), 2U); },
     .out = "nBad rcon_password.\n\n",
     .err = Eq("The server refused the password, or takes plain requests only: leave -s out\n"),
     .status = 1},
    {.name = "sha1_takes_as_long_a_command_as_the_other_forms",
     .script = {.args = {"-s", "sha1", k_at, "pw", std::string(20000, 'x')},
                .replies = {{H + "nok\n\0"s}}},
     .check_requests = hashed("pw", std::string(20000, 'x'), std::string(20000, 'x') + " "),
     .out = "nok\n\n"},
    twelve("no_pacing_at_all_with_i_0", {"-q", "0", "-i", "0", "-w", "0.5", k_at, "pw"}, 10, 1),
    {.name = "sha1_hashes_the_password_time_and_words",
     .script = {.args = {"-s", "sha1", k_at, "secret", "echo  \"a  b\"x"},
                .replies = {{H + "na  b\n\0"s}}},
     .check_requests = hashed("secret", "echo  \"a  b\"x", "echo a  b x "),
     .out = "na  b\n\n"},
};
INSTANTIATE_TEST_SUITE_P(Family, Telk, testing::ValuesIn(k_families), case_name);
INSTANTIATE_TEST_SUITE_P(Family, Faces, testing::ValuesIn(k_families), case_name);

} // namespace
