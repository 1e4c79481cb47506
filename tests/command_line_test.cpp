// The command line: the target, the options, the password file, the help.
#include "harness.hpp"

namespace {

using namespace telk_test;

/// A run of one command "a" against `target` that the server answers.
Case reaches(const char *name, const std::string &target, int server_port = 0, bool ipv6 = false)
{
    return {.name = name,
            .script = {.args = {target, "pw", "a"}, .replies = {{H + "A\n"}}},
            .requests = {request("a")},
            .out = "A\n\n",
            .server_port = server_port,
            .ipv6 = ipv6};
}

/// A run against `target`, whose port text `port` holds no port from 1 to 65535.
Case bad_port(const char *name, const std::string &target, const std::string &port)
{
    return refused(name, {target, "pw", "a"},
                   "Invalid port \"" + port + "\": ports are 1 to 65535.\n");
}

const Case k_targets[] = {
    reaches("numeric_two_parts", "127.1:{port}"),
    reaches("numeric_one_number", "2130706433:{port}"),
    reaches("numeric_hexadecimal", "0x7f.0.0.1:{port}"),
    reaches("name", "localhost:{port}"),
    bad_port("port_with_a_letter_refused", "127.0.0.1:3901l", "3901l"),
    bad_port("port_after_blanks_and_sign_refused", "127.0.0.1: +3901", " +3901"),
    reaches("port_leading_zeros_are_decimal", "127.0.0.1:00{port}"),
    bad_port("port_with_a_second_colon_refused", "127.0.0.1:3901:99", "3901:99"),
    bad_port("port_above_16_bits_refused", "127.0.0.1:92920", "92920"),
    bad_port("port_below_one_refused", "127.0.0.1:-1", "-1"),
    bad_port("huge_port_refused", "localhost:999999999999999999999", "999999999999999999999"),
    reaches("highest_port", "127.0.0.1:65535", 65535),
    reaches("default_port", "127.0.0.1", 27960),
    reaches("ipv6_in_brackets_with_port", "[::1]:{port}", 0, true),
    reaches("ipv6_in_brackets_default_port", "[::1]", 27960, true),
    reaches("ipv6_as_a_whole_default_port", "0:0::1", 27960, true),
    bad_port("ipv6_port_digits_only", "[::1]:3901x", "3901x"),
    bad_port("ipv6_port_refused_like_ipv4", "[::1]:65536", "65536"),
    refused("ipv6_port_needs_brackets", {"::1:27960", "pw", "a"},
            "A port after an IPv6 address needs brackets: [::1]:27960\n"),
    refused("ipv6_scoped_port_needs_brackets", {"fe80::1%lo:27960", "pw", "a"},
            "A port after an IPv6 address needs brackets: [fe80::1%lo]:27960\n"),
    refused("ipv6_scope_past_32_bits_refused", {"fe80::1%4294967297", "pw", "a"},
            "Invalid IP address.\n"),
    refused("ipv6_brackets_hold_no_ipv4", {"[127.0.0.1]:{port}", "pw", "a"},
            "Invalid IP address.\n"),
    refused("ipv6_bracket_unclosed", {"[::1:{port}", "pw", "a"}, "Invalid IP address.\n"),
    refused("ipv6_text_after_bracket", {"[::1]x{port}", "pw", "a"}, "Invalid IP address.\n"),
    bad_port("port_empty", "127.0.0.1:", ""),
    bad_port("port_without_digits", "127.0.0.1:x1", "x1"),
    refused("all_ones_refused", {"255.255.255.255:{port}", "pw", "a"}, "Invalid IP address.\n"),
    refused("five_parts_refused", {"1.2.3.4.5", "pw", "a"}, "Invalid IP address.\n"),
    refused("digit_name_never_resolved", {"9localhost", "pw", "a"}, "Invalid IP address.\n"),
    refused("empty_host_resolved_and_unknown", {":{port}", "pw", "a"},
            "Unknown or invalid hostname.\n"),
    // a label over 63 bytes fails before any query leaves the machine
    refused("unknown_name", {std::string(64, 'x') + ".invalid", "pw", "a"},
            "Unknown or invalid hostname.\n"),
    refused("no_arguments", {}, k_usage),
    refused("host_only", {"127.0.0.1:{port}"}, k_usage),
};
INSTANTIATE_TEST_SUITE_P(Target, Telk, testing::ValuesIn(k_targets), case_name);

/// A run refused for its options: `err` on standard error, nothing sent.
Case bad_option(const char *name, Strings options, const std::string &err)
{
    options.insert(options.end(), {k_at, "pw", "a"});
    return {.name = name, .script = {.args = std::move(options)}, .err = Eq(err), .status = 1};
}

const std::string k_options_are = "the options are -w, -q, -i, -p, -s, -c, -j, -b, -h and -V\n";
const std::string k_w_takes = "Option -w takes a number of seconds from 0.001 to 3600\n";
const std::string k_q_takes = "Option -q takes a number of seconds from 0 to 60\n";
const std::string k_i_takes = "Option -i takes a number of seconds from 0 to 3600\n";
const std::string k_refused =
    "Error receiving UDP packet (tried=32768, rc=-1): Connection refused\n";

const Case k_options[] = {
    {.name = "options_end_at_host_and_dashes_pass",
     .script = {.args = {"-w", "2.5", "-q", ".5", "-i", "0", "--", k_at, "-pw", "-i", "-"},
                .replies = {{H + "A\n"}, {H + "B\n"}, {H + "C\n"}}},
     .requests = {request("-i", "-pw"), request("-", "-pw")},
     .out = "A\n\nB\n\n",
     .err = Eq("Warning: -i after the host is sent as a command: options go before the host\n")},
    {.name = "paced_commands_in_order",
     .script = {.args = {"-i", "0.01", k_at, "pw", "a", "b", "c"},
                .replies = {{H + "A\n"}, {H + "B\n"}, {H + "C\n"}}},
     .requests = {request("a"), request("b"), request("c")},
     .out = "A\n\nB\n\nC\n\n"},
    {.name = "wait_bound_from_option",
     .script = {.args = {"-w", "0.2", k_at, "pw", "a", "b"}},
     .requests = {request("a")},
     .err = k_unanswered,
     .status = 1},
    refused("options_leave_too_few_arguments", {"-w", "1", k_at}, k_usage),
    bad_option("unknown_option", {"-x", "1"}, "Unknown option -x: " + k_options_are),
    bad_option("unknown_long_option", {"--foo"}, "Unknown option --foo: " + k_options_are),
    bad_option("gathering_and_json_refused_together", {"-b", "-j"},
               "Options -b and -j do not go together: -j writes every exchange\n"),
    {.name = "password_file_missing_its_name",
     .script = {.args = {"-c", "-p"}},
     .err = Eq("Option -p takes the name of a file\n"),
     .status = 1},
    bad_option("missing_value", {"-q"}, k_q_takes), // the host becomes -q's value: no number
    {.name = "missing_value_at_end", .script = {.args = {"-w"}}, .err = Eq(k_w_takes), .status = 1},
    bad_option("value_zero", {"-w", "0"}, k_w_takes),
    bad_option("value_over_range", {"-w", "3600.001"}, k_w_takes),
    bad_option("value_with_exponent", {"-w", "1e3"}, k_w_takes),
    bad_option("value_empty", {"-w", ""}, k_w_takes),
    bad_option("value_just_a_point", {"-w", "."}, k_w_takes),
    bad_option("value_huge", {"-w", std::string(400, '9')}, k_w_takes),
    bad_option("quiet_over_range", {"-q", "60.5"}, k_q_takes),
    bad_option("pace_negative", {"-i", "-1"}, k_i_takes),
    bad_option("pace_trailing_text", {"-i", "1s"}, k_i_takes),
    {.name = "refused_port_fails_at_once",
     .script = {.args = {"127.0.0.1:{closed}", "pw", "a", "b"},
                .deadline = std::chrono::seconds(5)},
     .err = Eq(k_refused),
     .status = 1},
    {.name = "ipv6_refused_port_fails_at_once",
     .script = {.args = {"[::1]:{closed}", "pw", "a", "b"}, .deadline = k_at_once},
     .err = Eq(k_refused),
     .status = 1,
     .ipv6 = true},
    {.name = "ipv4_mapped_refused_port_fails_at_once",
     .script = {.args = {"[::ffff:127.0.0.1]:{closed}", "pw", "a"}, .deadline = k_at_once},
     .err = Eq(k_refused),
     .status = 1,
     .ipv6 = true},
    {.name = "refused_port_fails_at_once_when_collecting",
     .script = {.args = {"-q", "0.5", "127.0.0.1:{closed}", "pw"},
                .input = "a\n",
                .deadline = std::chrono::seconds(5)},
     .out = "Enter commands.\n\n",
     .err = Eq(k_refused),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Options, Telk, testing::ValuesIn(k_options), case_name);

/// A run of "-p FILE host a" whose file holds `text`; `password` is what must be sent.
Case password_from(const char *name, const std::string &text, const std::string &password)
{
    return {.name = name,
            .script = {.args = {"-p", "{file}", k_at, "a"}, .file = text, .replies = {{H + "A\n"}}},
            .requests = {request("a", password)},
            .out = "A\n\n"};
}

/// A run of "-p FILE host a" that fails for its file with `reason`, sending nothing.
Case password_refused(const char *name, const std::string &file, const std::string &reason)
{
    return {.name = name,
            .script = {.args = {"-p", file, k_at, "a"}},
            .err = Eq("Couldn't read password file " + file + ": " + reason + "\n"),
            .status = 1};
}

/// A run whose password is the first line read on standard input, then commands "a" and
/// "b" in `script`.
Case password_then_commands(const char *name, Script script)
{
    script.replies = {{H + "A\n"}, {H + "B\n"}};
    return {.name = name,
            .script = std::move(script),
            .requests = {request("a"), request("b")},
            .out = k_greeting + "A\n\nB\n\n"};
}

const Case k_password_files[] = {
    password_from("newline_ends_the_password", "pw\nsecond line\n", "pw"),
    password_from("cr_lf_ends_the_password", "pw\r\n", "pw"),
    password_from("cr_ending_the_file_goes", "pw\r", "pw"),
    password_from("blanks_and_8_bit_bytes_kept", " p\rw \xe9", " p\rw \xe9"),
    password_from("empty_file_is_the_empty_password", "", ""),
    password_refused("missing_file", "/nonexistent/pw", "No such file or directory"),
    password_refused("directory", "/", "Is a directory"),
    {.name = "line_as_long_as_the_room_is_the_password",
     .script = {.args = {"-p", "{file}", k_at, "a"}, .file = std::string(131072, 'p')},
     .err = Eq("Request too long (tried=131083, max=32768)\n"),
     .status = 1},
    {.name = "terminal_is_read_after_a_prompt",
     .script = {.args = {"-p", "/dev/stdin", k_at, "a"},
                .input = "s3cret\n",
                .replies = {{H + "A\n"}},
                .terminal_input = true},
     .requests = {request("a", "s3cret")},
     .out = "A\n\n",
     .err = Eq("Password: \n")},
    {.name = "file_others_can_read_is_warned_of_and_used",
     .script = {.args = {"-p", "/etc/passwd", k_at, "a"}, .replies = {{H + "A\n"}}},
     .requests = {request("a", "root:x:0:0:root:/root:/bin/bash")},
     .out = "A\n\n",
     .err = Eq("Warning: password file /etc/passwd can be read by others than its owner "
               "(chmod 600 it)\n")},
    {.name = "line_longer_than_any_request_refused",
     .script = {.args = {"-p", "{file}", k_at, "a"}, .file = std::string(200000, 'p')},
     .err = testing::MatchesRegex("Couldn't read password file /tmp/.*: File too large\n"),
     .status = 1},
    {.name = "host_alone_reads_commands",
     .script =
         {.args = {"-p", "{file}", k_at}, .file = "pw\n", .input = "a\n", .replies = {{H + "A\n"}}},
     .requests = {request("a")},
     .out = k_greeting + "A\n\n"},
    password_then_commands("a_pipe_is_read_no_further_than_its_first_line",
                           {.args = {"-p", "/dev/stdin", k_at}, .input = "pw\na\nb\n"}),
    password_then_commands(
        "stdin_as_a_regular_file_is_read_from_where_it_stands",
        {.args = {"-p", "/dev/stdin", k_at}, .file = "pw\na\nb\n", .input_file = "{file}"}),
    password_then_commands(
        "stdin_as_a_socket_is_read_as_it_is",
        {.args = {"-p", "/dev/stdin", k_at}, .input = "pw\na\nb\n", .socket_input = true}),
    password_then_commands(
        "a_descriptor_by_number_is_read_as_it_is",
        {.args = {"-p", "/dev/fd/0", k_at}, .file = "pw\na\nb\n", .input_file = "{file}"}),
    {.name = "the_password_as_an_argument_sends_nothing",
     .script = {.args = {"-p", "{file}", k_at, "a", "pw"}, .file = "pw\n"},
     .err = Eq("Not sending the password as a command\n"),
     .status = 1},
    {.name = "the_password_as_a_line_ends_the_run",
     .script = {.args = {"-p", "{file}", k_at},
                .file = "pw\n",
                .input = "a\npw\nb\n",
                .replies = {{H + "A\n"}}},
     .requests = {request("a")},
     .out = k_greeting + "A\n\n",
     .err = Eq("Not sending the password as a command\n"),
     .status = 1},
    refused("no_host", {"-p", "{file}"},
            "Usage: telk -p file host[:port] [command1 command2 ...]\n"),
};
INSTANTIATE_TEST_SUITE_P(PasswordFile, Telk, testing::ValuesIn(k_password_files), case_name);

const Case k_help[] = {
    {.name = "json_usage_goes_to_standard_error",
     .script = {.args = {"-j", k_at}},
     .err = Eq(k_usage),
     .status = 1},
    {.name = "help_lists_every_option",
     .script = {.args = {"-w", "1", "--help", "-x", k_at, "pw", "a"}},
     .out = testing::AllOf(
         StartsWith("Usage: telk [options] host[:port] password [command ...]\n"
                    "       telk [options] -p file host[:port] [command ...]\n"),
         testing::HasSubstr("\n  -w seconds "),
         testing::HasSubstr("\n  -q seconds     quiet time that ends a reply (0: a newline), 0 to "
                            "60; 0.1 unless set\n"),
         testing::HasSubstr("\n  -i seconds     least pause between commands (0: no pacing at "
                            "all), 0 to 3600\n"),
         testing::HasSubstr("\n  -p file "), testing::HasSubstr("\n  -s form "),
         testing::HasSubstr("\n  -c "), testing::HasSubstr("\n  -h, --help "),
         testing::HasSubstr("\n  -V, --version "), testing::HasSubstr("the port is 27960"),
         testing::HasSubstr("\nExit status: 0 when"), testing::HasSubstr("FILE holds a host"))},
    {.name = "short_help", .script = {.args = {"-h"}}, .out = StartsWith("Usage: telk [options]")},
    {.name = "version", .script = {.args = {"--version"}}, .out = "telk " TELK_VERSION "\n"},
    {.name = "short_version", .script = {.args = {"-V", k_at}}, .out = "telk " TELK_VERSION "\n"},
    {.name = "help_that_cannot_be_written_fails",
     .script = {.args = {"-h"}, .output_file = "/dev/full"},
     .err = Eq("Couldn't write standard output: No space left on device\n"),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Help, Telk, testing::ValuesIn(k_help), case_name);

} // namespace
