// Many servers in one run: every command to every server, labels, failures named, a file of
// targets, descriptors that do not grow, and -j read back by a JSON parser.
#include "harness.hpp"

#include <cstdio>

namespace {

using namespace telk_test;

std::string label(const FakeFleet &fleet, int i)
{
    return std::string("127.0.0.1:").append(std::to_string(fleet.ports[static_cast<std::size_t>(i)]));
}

/// `text` with "{list}" and "{N}" made the fleet's targets and server N's port.
std::string with_ports(std::string text, const FakeFleet &fleet)
{
    for (auto at = text.find("{list}"); at != std::string::npos; at = text.find("{list}"))
        text.replace(at, 6, fleet.list());
    for (std::size_t i = 0; i < fleet.ports.size(); ++i)
        for (const std::string token = std::string("{").append(std::to_string(i)).append("}");
             text.find(token) != std::string::npos;)
            text.replace(text.find(token), token.size(), std::to_string(fleet.ports[i]));
    return text;
}

/// Server i answers "i" and the command, as a real server of the first family does.
Strings numbered_answer(int i, const std::string &request)
{
    return {k_first + std::to_string(i) + request.substr(request.rfind(' ') + 1) + "\n"};
}

/// The lines that servers `first` to `last` print for `commands` answered by numbered_answer.
Strings numbered_lines(const FakeFleet &fleet, int first, int last, const Strings &commands)
{
    Strings lines;
    for (int i = first; i <= last; ++i)
        for (const std::string &command : commands)
            lines.push_back(label(fleet, i) + ": " + std::to_string(i) + command);
    return lines;
}

struct FleetCase {
    const char *name;
    int size;
    Strings args; // "{list}": the fleet's targets; "{N}": server N's port
    FakeFleet::Answer respond = numbered_answer;
    std::string input;
    int input_lines = 0;             // then as many lines "status"
    Strings dialogue;                // standard input a line at a time, each after a reply
    std::optional<std::string> file; // "{file}" names it; "{list}" and "{N}" as in args
    std::function<Strings(const FakeFleet &)> lines; // standard output's, in any order
    bool ordered = false;                            // in that order
    std::function<testing::Matcher<const std::string &>(const FakeFleet &)> err;
    int status = 0;
    std::function<void(const FakeFleet &)> check; // what the servers got
    int max_files = 0;
    int max_memory_mib = 0;
    std::chrono::seconds deadline = k_deadline;
};

void PrintTo(const FleetCase &c, std::ostream *os) { *os << c.name; }

class Fleet : public testing::TestWithParam<FleetCase> {};

TEST_P(Fleet, Run)
{
    const FleetCase &c = GetParam();
    if ((c.max_files > 0 || c.max_memory_mib > 0) && TELK_SANITIZED)
        GTEST_SKIP() << "the sanitizers' runtime cannot start under a limit of its own";
    FakeFleet fleet(c.size, c.respond);
    std::string input = c.input;
    for (int i = 0; i < c.input_lines; ++i)
        input += "status\n";
    Script script{.input = input,
                  .dialogue = c.dialogue,
                  .max_files = c.max_files,
                  .max_memory_mib = c.max_memory_mib,
                  .deadline = c.deadline};
    for (const std::string &arg : c.args)
        script.args.push_back(with_ports(arg, fleet));
    if (c.file) script.file = with_ports(*c.file, fleet);
    const Outcome outcome = run_telk(FakeServer(0), script);
    fleet.stop();
    Strings lines = c.lines ? c.lines(fleet) : Strings{};
    if (!c.ordered) std::sort(lines.begin(), lines.end());
    EXPECT_EQ(c.ordered ? split_lines(outcome.out) : sorted_lines(outcome.out), lines);
    EXPECT_THAT(outcome.err, c.err ? c.err(fleet) : testing::IsEmpty());
    EXPECT_EQ(outcome.status, c.status);
    if (c.check) c.check(fleet);
}

/// The label of servers 0 and 1 of `fleet` folded into one: "127.0.0.1:[P-Q]" or "[P,Q]".
std::string first_two_folded(const FakeFleet &fleet)
{
    const int low = std::min(fleet.ports[0], fleet.ports[1]);
    const int high = std::max(fleet.ports[0], fleet.ports[1]);
    return "127.0.0.1:[" + std::to_string(low) + (high == low + 1 ? "-" : ",") +
           std::to_string(high) + "]";
}

const FleetCase k_fleets[] = {
    {.name = "the_same_replies_gathered_behind_one_label_the_largest_group_first",
     .size = 3,
     .args = {"-b", "{list},x.invalid", "pw", "a", "b"},
     .respond =
         [](int i, const std::string &r) {
             return Strings{k_first + (i == 2 ? "other " : "same ") + r.substr(r.rfind(' ') + 1) +
                            "\n"};
         },
     .lines =
         [](const FakeFleet &f) {
             const std::string both = first_two_folded(f);
             return Strings{both + ": same a", label(f, 2) + ": other a", both + ": same b",
                            label(f, 2) + ": other b"};
         },
     .ordered = true,
     .err = [](const FakeFleet &) { return Eq("x.invalid: does not resolve\n"); },
     .status = 1},
    {.name = "every_command_goes_to_every_server_under_its_label",
     .size = 3,
     .args = {"{list}", "pw", "a", "b"},
     .lines = [](const FakeFleet &f) { return numbered_lines(f, 0, 2, {"a", "b"}); },
     .check =
         [](const FakeFleet &f) {
             for (const Strings &got : f.requests)
                 EXPECT_EQ(got, Strings({request("a"), request("b")}));
         }},
    {.name = "each_line_of_standard_input_goes_to_every_server_as_it_comes",
     .size = 2,
     .args = {"{list}", "pw"},
     .dialogue = {"a\n", "b\n"},
     .lines =
         [](const FakeFleet &f) {
             Strings lines = numbered_lines(f, 0, 1, {"a", "b"});
             lines.insert(lines.end(), {"Enter commands.", ""});
             return lines;
         }},
    {.name = "a_silent_server_is_named_and_fails_the_run_alone",
     .size = 2,
     .args = {"-w", "0.6", "{list}", "pw", "a", "b"},
     .respond = [](int i, const std::string &r) { return i == 1 ? Strings{} : numbered_answer(i, r); },
     .lines = [](const FakeFleet &f) { return numbered_lines(f, 0, 0, {"a", "b"}); },
     .err =
         [](const FakeFleet &f) {
             return Eq(label(f, 1) + ": no reply within 0.6 s\n");
         },
     .status = 1},
    {.name = "a_refusing_server_is_named_and_the_others_go_on",
     .size = 2,
     .args = {"{list}", "pw", "a", "b"},
     .respond =
         [](int i, const std::string &r) {
             return i == 1 ? Strings{H + k_bad_password} : numbered_answer(i, r);
         },
     .lines =
         [](const FakeFleet &f) {
             Strings lines = numbered_lines(f, 0, 0, {"a", "b"});
             lines.push_back(label(f, 1) + ": Bad rconpassword.");
             return lines;
         },
     .err =
         [](const FakeFleet &f) {
             return Eq(label(f, 1) + ": refused the password\n");
         },
     .status = 1},
    {.name = "a_file_of_targets_with_a_password_file",
     .size = 2,
     .args = {"@{file}", "pw", "a"},
     .input = "pw2\n",
     // comments at the start of a line and after the fields
     .file = "# two servers\n\n  127.0.0.1:{0}  # main\n127.0.0.1:{1}\t/dev/stdin # other\n",
     .lines = [](const FakeFleet &f) { return numbered_lines(f, 0, 1, {"a"}); },
     .check =
         [](const FakeFleet &f) {
             EXPECT_EQ(f.requests[0], Strings{request("a")});
             EXPECT_EQ(f.requests[1], Strings{request("a", "pw2")});
         }},
    {.name = "a_list_that_comes_to_one_server_is_still_labelled",
     .size = 1,
     .args = {"127.0.0.1:{0},localhost:{0}", "pw", "a"},
     .lines = [](const FakeFleet &f) { return numbered_lines(f, 0, 0, {"a"}); },
     .check = [](const FakeFleet &f) { EXPECT_THAT(f.requests[0], testing::SizeIs(1)); }},
    {.name = "blanks_around_the_commas_are_left_out",
     .size = 2,
     .args = {"127.0.0.1:{0} , 127.0.0.1:{1}", "pw", "a"},
     .lines = [](const FakeFleet &f) { return numbered_lines(f, 0, 1, {"a"}); }},
    {.name = "an_empty_entry_is_refused_by_its_position_before_anything_is_sent",
     .size = 2,
     .args = {"127.0.0.1:{0},,127.0.0.1:{1}", "pw", "a"},
     .lines = [](const FakeFleet &) { return Strings{"Target 2 of the list is empty"}; },
     .status = 1,
     .check = [](const FakeFleet &f) { EXPECT_TRUE(f.requests[0].empty()); }},
    {.name = "no_wait_for_a_turn_that_no_command_takes",
     .size = 2,
     .args = {"-i", "3", "{list}", "pw", "a"},
     .lines = [](const FakeFleet &f) { return numbered_lines(f, 0, 1, {"a"}); },
     .deadline = std::chrono::seconds(2)},
    {.name = "an_ipv4_mapped_address_is_its_ipv4_address",
     .size = 1,
     .args = {"127.0.0.1:{0},[::ffff:127.0.0.1]:{0}", "pw", "a"},
     .lines = [](const FakeFleet &f) { return numbered_lines(f, 0, 0, {"a"}); },
     .check = [](const FakeFleet &f) { EXPECT_THAT(f.requests[0], testing::SizeIs(1)); }},
    {.name = "a_mistyped_target_fails_the_run_before_anything_is_sent",
     .size = 1,
     .args = {"{list},127.0.0.1:3901l", "pw", "a"},
     .lines =
         [](const FakeFleet &) {
             return Strings{"127.0.0.1:3901l: Invalid port \"3901l\": ports are 1 to 65535."};
         },
     .status = 1,
     .check = [](const FakeFleet &f) { EXPECT_TRUE(f.requests[0].empty()); }},
    {.name = "a_name_that_does_not_resolve_fails_alone",
     .size = 1,
     .args = {"x.invalid,{list},x.invalid", "pw", "a", "b"},
     .lines = [](const FakeFleet &f) { return numbered_lines(f, 0, 0, {"a", "b"}); },
     .err = [](const FakeFleet &) { return Eq("x.invalid: does not resolve\n"); },
     .status = 1},
    {.name = "json_keeps_standard_output_for_json_alone",
     .size = 1,
     .args = {"-j", "x.invalid,y.invalid", "pw", "a"},
     .lines =
         [](const FakeFleet &) {
             Strings objects;
             for (const std::string host : {"x", "y"})
                 objects.push_back(R"({"server":")" + host + R"(.invalid","address":null,)"
                                   R"("command":"a","outcome":"unresolved","family":"unknown",)"
                                   R"("ms":0,"text":""})");
             return objects;
         },
     .err =
         [](const FakeFleet &) {
             return Eq("x.invalid: does not resolve\ny.invalid: does not resolve\n");
         },
     .status = 1},
    {.name = "descriptors_do_not_grow_with_the_servers",
     .size = 200,
     .args = {"{list}", "pw", "a"},
     .lines = [](const FakeFleet &f) { return numbered_lines(f, 0, 199, {"a"}); },
     .max_files = 12},
    {.name = "standard_input_is_read_only_as_servers_take_commands",
     .size = 2,
     .args = {"-w", "0.5", "{list}", "pw"},
     .respond = [](int, const std::string &) { return Strings{}; },
     .input_lines = 3 << 20, // 21 MiB, more than telk may take
     .lines = [](const FakeFleet &) { return Strings{"Enter commands.", ""}; },
     .err =
         [](const FakeFleet &f) {
             return Eq(label(f, 0) + ": no reply within 0.5 s\n" + label(f, 1) +
                       ": no reply within 0.5 s\n");
         },
     .status = 1,
     .max_memory_mib = 16},
};
INSTANTIATE_TEST_SUITE_P(Fleet, Fleet, testing::ValuesIn(k_fleets),
                         [](const auto &info) { return std::string(info.param.name); });

/// The text of the one JSON line in `out`, as Python's JSON parser reads it, in hexadecimal
/// UTF-8; empty when it cannot.
std::string parsed_text(const std::string &out)
{
    const std::string command = "python3 -c 'import json,sys; "
                                "print(json.loads(sys.stdin.read())[\"text\"].encode().hex())'";
    FILE *parser = popen((command + " > /tmp/telk-json-test.out").c_str(), "w");
    if (parser == nullptr) return {};
    std::fwrite(out.data(), 1, out.size(), parser);
    if (pclose(parser) != 0) return {};
    std::FILE *result = std::fopen("/tmp/telk-json-test.out", "r");
    std::array<char, 1 << 17> hex{};
    const std::size_t got = result ? std::fread(hex.data(), 1, hex.size() - 1, result) : 0;
    if (result) std::fclose(result);
    return std::string(hex.data(), got).substr(0, got > 0 ? got - 1 : 0);
}

std::string as_hex(const std::string &text)
{
    std::string hex;
    for (const unsigned char c : text)
        hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    return hex;
}

// Whatever bytes a reply holds, its JSON line reads back to its clean text: control bytes and
// zero bytes, quotes and backslashes, valid UTF-8 whole, other bytes as Latin-1, long lines.
TEST(Json, HostileRepliesReadBack)
{
    if (std::system("python3 -c 'import json' 2>/dev/null") != 0)
        GTEST_SKIP() << "no python3 to parse JSON with";
    const std::pair<std::string, std::string> replies[] = {
        {"a\"b\\c\x01\x1f\x7f\t\r\n", "a\"b\\c\x01\x1f\x7f\t\r\n"},
        {"zero\0byte\n"s, "zero\0byte\n"s},
        {"\xc3\xa9 \xe9 \xed\xa0\x80 \xf4\x90\x80\x80\n", "\xc3\xa9 \xc3\xa9 \xc3\xad\xc2\xa0\xc2\x80 \xc3\xb4\xc2\x90\xc2\x80\xc2\x80\n"},
        {std::string(32000, 'x') + "\n", std::string(32000, 'x') + "\n"},
        {"\xc2\x9b" "2J \x85\n", "\xc2\x9b" "2J \xc2\x85\n"}, // C1 controls: escaped below
    };
    for (const auto &[reply, text] : replies) {
        const FakeServer server(0);
        const Outcome outcome = run_telk(
            server, {.args = {"-j", k_at, "pw", "a"}, .replies = {{k_first + reply}}});
        EXPECT_THAT(outcome.out, testing::MatchesRegex("\\{\"server\":\"127\\.0\\.0\\.1:[0-9]+\",.*"
                                                       "\"outcome\":\"ok\",\"family\":\"first\",.*\\}\n"));
        EXPECT_EQ(parsed_text(outcome.out), as_hex(text)) << reply.substr(0, 40);
        EXPECT_THAT(outcome.out, testing::Not(testing::ContainsRegex("\xc2[\x80-\x9f]")));
        EXPECT_EQ(outcome.status, 0);
    }
}

} // namespace
