// Commands from standard input: lines, their ends and limits, and reading it.
#include "harness.hpp"

#include <fstream>
#include <iterator>

namespace {

using namespace telk_test;

/// An interactive run fed `input` whose every request gets "ok"; `sent` is what must arrive.
Case interactive(const char *name, const std::string &input, const Strings &sent)
{
    Case c{.name = name, .script = {.args = {k_at, "pw"}, .input = input}};
    std::string out = k_greeting;
    for (const std::string &command : sent) {
        c.script.replies.push_back({H + "ok\n"});
        c.requests.push_back(request(command));
        out += "ok\n\n";
    }
    c.out = out;
    return c;
}

const std::string k_secret = "s3cret pass\xe9";

/// Fails the test when telk's entry in the process list still shows the password.
void expect_password_hidden(const Scene &scene)
{
    std::ifstream file("/proc/" + std::to_string(scene.pid) + "/cmdline");
    const std::string cmdline{std::istreambuf_iterator<char>(file), {}};
    EXPECT_THAT(cmdline, testing::HasSubstr("127.0.0.1"));
    // the host's terminator, then the password's bytes zeroed in place, then its terminator
    EXPECT_THAT(cmdline, testing::EndsWith(std::string(1 + k_secret.size() + 1, '\0')));
}

/// An interactive run whose line "a" is answered and whose next line, in `rest`, holds a
/// command of `tried` bytes, too long to send any of it.
Case too_long(const char *name, const std::string &rest, int tried)
{
    return {.name = name,
            .script = {.args = {k_at, "pw"}, .input = "a\n" + rest, .replies = {{H + "A\n"}}},
            .requests = {request("a")},
            .out = k_greeting + "A\n\n",
            .err = Eq("Command too long (tried=" + std::to_string(tried) + ", max=1023)\n"),
            .status = 1};
}

const Case k_interactive[] = {
    {.name = "password_hidden_from_process_list",
     .script = {.args = {k_at, k_secret},
                .input = "a\n",
                .replies = {{H + "A\n"}},
                .before_reply = expect_password_hidden},
     .requests = {request("a", k_secret)},
     .out = k_greeting + "A\n\n"},
    interactive("end_of_input_at_once", "", {}),
    interactive("line_ends", "crlf\r\nlone\rdropped\n\n\r\nlast", {"crlf", "lone", "", "", "last"}),
    interactive("zero_byte_ends_command", "ab\0cd\nef\n"s, {"ab", "ef"}),
    interactive("line_of_1023_bytes_is_one_command", std::string(1023, 'x') + "\ny\n",
                {std::string(1023, 'x'), "y"}),
    interactive("line_of_1022_bytes_and_crlf_is_one_command", std::string(1022, 'x') + "\r\n",
                {std::string(1022, 'x')}),
    interactive("long_tail_after_cr_or_zero_dropped",
                "a\r" + std::string(3000, 'x') + "\nb\0"s + std::string(5000, 'y') + "\nc",
                {"a", "b", "c"}),
    too_long("too_long_command_sends_nothing_of_its_line",
             "say " + std::string(1019, 'x') + "echo INJECTED\r\nb\n", 1036),
    too_long("too_long_last_line_without_newline_sends_nothing", std::string(1100, 'x'), 1100),
    {.name = "read_error_reported",
     .script = {.args = {k_at, "pw"}, .input_file = "/"},
     .out = k_greeting,
     .err = Eq("Couldn't read standard input: Is a directory\n"),
     .status = 1},
    {.name = "closed_input_is_no_socket",
     .script = {.args = {k_at, "pw"}, .closed_fd = 0},
     .out = k_greeting,
     .err = Eq("Couldn't read standard input: Bad file descriptor\n"),
     .status = 1},
    {.name = "closed_output_is_no_socket",
     .script = {.args = {k_at, "pw"}, .input = "a\n", .closed_fd = 1},
     .err = Eq("Couldn't write standard output: Bad file descriptor\n"),
     .status = 1},
    {.name = "lost_greeting_sends_nothing",
     .script = {.args = {k_at, "pw"}, .input = "a\n", .output_file = "/dev/full"},
     .err = Eq("Couldn't write standard output: No space left on device\n"),
     .status = 1},
    {.name = "reply_out_before_waiting_for_input",
     .script = {.args = {k_at, "pw"},
                .dialogue = {"a\n", "b\n"},
                .nonblocking_input = true,
                .replies = {{H + "A\n"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = k_greeting + "A\n\nB\n\n"},
    {.name = "paced_lines_in_order",
     .script = {.args = {"-i", "0.01", k_at, "pw"},
                .input = "a\nb\nc\n",
                .replies = {{H + "A\n"}, {H + "B\n"}, {H + "C\n"}}},
     .requests = {request("a"), request("b"), request("c")},
     .out = k_greeting + "A\n\nB\n\nC\n\n"},
    {.name = "unset_password_stops_reading",
     .script = {.args = {k_at, "pw"}, .input = "a\nb\n", .replies = {{H + k_no_password}}},
     .requests = {request("a")},
     .out = k_greeting + k_no_password + "\n",
     .err = Eq(k_no_password_set),
     .status = 1},
    {.name = "failure_stops_reading",
     .script = {.args = {"-q", "0", k_at, "pw"},
                .input = "a\nb\nc\n",
                .replies = {{H + "A\n"}, {""}}},
     .requests = {request("a"), request("b")},
     .out = k_greeting + "A\n\n",
     .err = Eq(k_empty_datagram),
     .status = 1},
    // the server answers b only once A shows, which at a terminal it does at once
    // what waits when b is about to go is dropped: the server answers b once it has it
    {.name = "terminal_shows_each_reply_as_it_ends",
     .script = {.args = {k_at, "pw"},
                .input = "a\nb\n",
                .replies = {{H + "A\n"}, {H + "B\n"}},
                .terminal_output = true,
                .deadline = k_at_once},
     .requests = {request("a"), request("b")},
     .out = k_greeting + "A\n\nB\n\n"},
    refused("refused_target_before_greeting", {"255.255.255.255:{port}", "pw"},
            "Invalid IP address.\n"),
};
INSTANTIATE_TEST_SUITE_P(Interactive, Telk, testing::ValuesIn(k_interactive), case_name);

} // namespace
