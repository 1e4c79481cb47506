// Replies as clean text, into a pipe and at a terminal.
#include "harness.hpp"

namespace {

using namespace telk_test;

/// A run of "-c host pw a" whose reply is `datagrams`; `terminal`: standard output is one.
/// A reply without a newline at its end is taken after 1 second.
Case clean(const char *name, const Strings &datagrams, const std::string &out,
           bool terminal = false)
{
    return {.name = name,
            .script = {.args = {"-w", "1", "-c", k_at, "pw", "a"},
                       .replies = {datagrams},
                       .terminal_output = terminal},
            .requests = {request("a")},
            .out = out};
}

/// 4 KiB of text at a terminal, without a newline.
const std::string k_2048_e_acute = [] {
    std::string text;
    for (int i = 0; i < 2048; ++i)
        text += "\xc3\xa9";
    return text;
}();

const Case k_clean[] = {
    {.name = "a_list_at_a_terminal_shows_control_bytes_in_caret_notation",
     .script = {.args = {"-c", k_at + ",127.0.0.1:{closed}", "pw", "a"},
                .replies = {{k_first + "x\x1b]52;c;YQ==\x07\x1b[2Jy\n"}},
                .terminal_output = true},
     .requests = {request("a")},
     .out = testing::MatchesRegex(R"(127\.0\.0\.1:[0-9]+: x\^\[\]52;c;YQ==\^G\^\[\[2Jy)" "\n"),
     .err = testing::_,
     .status = 1},
    clean("print_line_and_colour_codes_go", {k_first + "^1Red^7Server ^a^Z ^^3x ^ end^\n"},
          "RedServer  ^x ^ end^\n"),
    clean("only_an_exact_print_line_goes", {H + "printer\nx"}, "printer\nx\n"),
    clean("control_bytes_pass_into_a_pipe", {H + "\x1b[2J\a\x7f\xc2\x9b"},
          "\x1b[2J\a\x7f\xc2\x9b\n"),
    clean("text_beyond_the_output_buffer_whole",
          {k_first + std::string(5000, 'x') + "^1y" + std::string(5000, 'z')},
          std::string(5000, 'x') + "y" + std::string(5000, 'z') + "\n"),
    clean("empty_text_prints_nothing", {k_first}, ""),
    {.name = "codes_split_across_collected_pieces",
     .script = {.args = {"-q", "0.1", "-c", k_at, "pw", "a"},
                .replies = {{k_first + "a^", k_first + "1b\n"}}},
     .requests = {request("a")},
     .out = "ab\n"},
    {.name = "print_line_goes_only_at_the_start_of_a_collected_reply",
     .script = {.args = {"-q", "0.1", "-c", k_at, "pw", "a"},
                .replies = {{k_first + "a\n", "print\nb"}}},
     .requests = {request("a")},
     .out = "a\nprint\nb\n"},
    {.name = "invalid_header_is_refused_as_ever",
     .script = {.args = {"-w", "1", "-c", k_at, "pw", "a", "b"},
                .replies = {{"nope\n"}, {H + "B"}}},
     .requests = {request("a"), request("b")},
     .out = "B\n",
     .err = Eq("Invalid buffer header.  Sorry.\n"),
     .status = 1},
    clean("terminal_shows_colours_until_each_newline", {k_first + "^1Red^7Server\n^2green\n^aend"},
          "\x1b[31mRed\x1b[0mServer\n\x1b[32mgreen\x1b[0m\n\x1b[31mend\x1b[0m\n", true),
    clean("terminal_shows_control_bytes_in_caret_notation",
          {H + "\x1b[2J\a\x7f\t|\xc2\x9b|\xc3\xa9\n"}, "^[[2J^G^?\t|M-^[|\xc3\xa9\n", true),
    clean("terminal_passes_a_lone_c2_and_its_newline", {k_first + "^1Bob\xc2\n^2x\xc2 y\xc2[z\n"},
          "\x1b[31mBob\xc2\x1b[0m\n\x1b[32mx\xc2 y\xc2[z\x1b[0m\n", true),
    clean("terminal_shows_raw_c1_controls_in_m_notation",
          {H + "a\x9b"
               "2J\x9d"
               "0;t\a\x85\x9f|\xc2\x9f\n"},
          "aM-^[2JM-^]0;t^GM-^EM-^_|M-^_\n", true),
    clean("terminal_passes_valid_utf8_whole",
          {H + "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xe0\x80\x80|\xed\xa0\x80\n"},
          "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xe0M-^@M-^@|\xed\xa0M-^@\n", true),
    clean("terminal_fills_the_output_buffer_exactly", {k_first + k_2048_e_acute},
          k_2048_e_acute + "\n", true),
    {.name = "no_color_at_a_terminal_drops_the_codes",
     .script = {.args = {"-c", k_at, "pw", "a"},
                .replies = {{k_first + "^1Red^7 \x1b\n"}},
                .terminal_output = true,
                .env = {"NO_COLOR=1"}},
     .requests = {request("a")},
     .out = "Red ^[\n"},
};
INSTANTIATE_TEST_SUITE_P(Clean, Telk, testing::ValuesIn(k_clean), case_name);
INSTANTIATE_TEST_SUITE_P(Clean, Faces, testing::ValuesIn(k_clean), case_name);

} // namespace
