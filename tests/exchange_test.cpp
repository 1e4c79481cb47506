// One exchange: the request on the wire, how a reply is read, bounded and printed.
#include "harness.hpp"

#include <csignal>
#include <fstream>

#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>

namespace {

using namespace telk_test;

/// A tick hook that stops telk at the second tick, while it waits for a reply, sends it
/// `datagram` at tick `sent_at`, and lets it go on at the sixth, past every bound that uses it.
Hook stopped_while_sent(const std::string &datagram, int sent_at = 2)
{
    return [=](const Scene &scene) {
        if (scene.ticks == 2) stop_telk(scene);
        if (scene.ticks == sent_at) sends(datagram)(scene);
        if (scene.ticks == 6) kill(scene.pid, SIGCONT);
    };
}

/// A hook that fills telk's receive buffer to the last byte, then forges an ICMP error that
/// finds no room there for its report.
void overflow_then_time_exceeded(const Scene &scene)
{
    const Hook big = sends(std::string(60000, 'x')), empty = sends("");
    for (int i = 0; i < 64; ++i)
        big(scene);
    for (int i = 0; i < 3000; ++i) // the last room, too small for any but an empty one
        empty(scene);
    forges(ICMP_TIME_EXCEEDED, ICMP_EXC_TTL)(scene);
}

const std::string k_timed_out =
    "Error receiving UDP packet (tried=32768, rc=-1): Connection timed out\n";

const Case k_exchanges[] = {
    {.name = "one_command",
     .script = {.args = {k_at, "pw", "status"}, .replies = {{H + "map ok\n"}}},
     .requests = {request("status")},
     .out = "map ok\n\n"},
    {.name = "bytes_pass_unchanged",
     .script = {.args = {k_at, "a b\xe9", "say \"hi\"\t "}, .replies = {{H + "\0\xff x\n"s}}},
     .requests = {request("say \"hi\"\t ", "a b\xe9")},
     .out = "\0\xff x\n\n"s},
    {.name = "empty_password_and_command",
     .script = {.args = {k_at, "", ""}, .replies = {{H + "\n"}}},
     .requests = {H + "rcon  "},
     .out = "\n\n"},
    {.name = "datagrams_appended_header_and_all",
     .script = {.args = {"-q", "0", k_at, "pw", "a"}, .replies = {{H + "one ", H + "two\n"}}},
     .requests = {request("a")},
     .out = "one " + H + "two\n\n"},
    {.name = "newline_within_header_does_not_end_reply",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{"\xff\xff\xff\n", H + "A\n"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = "B\n\n",
     .err = Eq("Invalid buffer header.  Sorry.\n"),
     .status = 1},
    {.name = "invalid_header_fails_the_run_but_later_commands_go",
     .script = {.args = {k_at, "pw", "a", "b"}, .replies = {{"nope\n"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = "B\n\n",
     .err = Eq("Invalid buffer header.  Sorry.\n"),
     .status = 1},
    {.name = "refused_password_fails_and_stops",
     .script = {.args = {k_at, "pw", "a", "b"}, .replies = {{H + k_bad_password}}},
     .requests = {request("a")},
     .out = k_bad_password + "\n",
     .err = Eq(k_refusal),
     .status = 1},
    {.name = "words_of_a_refusal_within_a_reply_are_no_refusal",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + "print\nBad rconpassword. was said\n"},
                            {H + k_no_password + "x\n"}}},
     .requests = {request("a"), request("b")},
     .out = "print\nBad rconpassword. was said\n\n" + k_no_password + "x\n\n"},
    {.name = "stopped_past_the_bound_takes_what_came_in_time",
     .script = {.args = {"-w", "0.5", k_at, "pw", "a"},
                .every_tick = stopped_while_sent(H + "A\n"),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = "A\n\n"},
    {.name = "stopped_past_the_bound_takes_nothing_that_came_after_it",
     .script = {.args = {"-w", "0.3", k_at, "pw", "a"},
                .every_tick = stopped_while_sent(H + "A\n", 4),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .err = k_unanswered,
     .status = 1},
    {.name = "no_request_leaves_after_its_bound",
     .script = {.args = {"-w", "0.3", "-s", "challenge", k_at, "pw", "a"},
                .replies = {{H + "challenge 1\0"s}},
                .before_reply = stop_telk,
                .every_tick = stopped_while_sent("", 0),
                .deadline = std::chrono::seconds(10)},
     .requests = {H + "getchallenge"},
     .err = testing::MatchesRegex("Could not send UDP packet .*: Connection timed out\n"),
     .status = 1},
    {.name = "interrupt_writes_out_what_came_then_ends_by_its_signal",
     .script = {.args = {"-q", "5", k_at, "pw", "a", "b"},
                .replies = {{k_first + "A\n"}},
                .on_output = [](const Scene &scene) { kill(scene.pid, SIGINT); }},
     .requests = {request("a")},
     .out = "print\nA\n\n",
     .status = 128 + SIGINT},
    {.name = "json_told_to_end_writes_what_came_as_interrupted",
     .script = {.args = {"-j", "-q", "5", k_at, "pw", "a"},
                .replies = {{k_first + "A\n"}},
                .every_tick = at_tick(3, [](const Scene &scene) { kill(scene.pid, SIGINT); })},
     .requests = {request("a")},
     .out = testing::MatchesRegex(R"(\{.*"outcome":"interrupted",.*"text":"A\\n"\})" "\n"),
     .err = testing::EndsWith(": still waiting for its reply when told to end\n"),
     .status = 128 + SIGINT},
    {.name = "a_list_running_past_a_second_shows_its_progress_at_a_terminal",
     .script = {.args = {"-w", "1.5", "x.invalid," + k_at, "pw", "a"},
                .replies = {Strings{}},
                .terminal_error = true},
     .requests = {request("a")},
     .err = StartsWith("\r1/2 done, 1 failed\x1b[K\r2/2 done, 2 failed\x1b[K\r\x1b[K"
                       "x.invalid: does not resolve\n"),
     .status = 1},
    {.name = "json_stopped_past_the_bound_takes_what_came_in_time",
     .script = {.args = {"-j", "-w", "0.5", k_at, "pw", "a"},
                .every_tick = stopped_while_sent(k_first + "A\n"),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = testing::MatchesRegex(R"(\{.*"outcome":"ok",.*"text":"A\\n"\})" "\n")},
    {.name = "terminate_while_silent_ends_at_once",
     .script = {.args = {k_at, "pw", "a"},
                .replies = {Strings{}},
                .before_reply = [](const Scene &scene) { kill(scene.pid, SIGTERM); },
                .deadline = k_at_once},
     .requests = {request("a")},
     .status = 128 + SIGTERM},
    // the send goes out; its reply is what filled the socket
    {.name = "error_without_room_for_its_report_fails_no_send",
     .script = {.args = {"-q", "0", "-i", "0.5", k_at, "pw", "a", "b"},
                .replies = {{H + "A\n"}},
                .on_output = overflow_then_time_exceeded,
                .forges_icmp = true},
     .requests = {request("a"), request("b")},
     .out = "A\n\n",
     .err = Eq("Invalid buffer header.  Sorry.\n"),
     .status = 1},
    {.name = "empty_datagram_fails_and_stops",
     .script = {.args = {"-q", "0", k_at, "pw", "a", "b", "c"}, .replies = {{H + "A\n"}, {""}}},
     .requests = {request("a"), request("b")},
     .out = "A\n\n",
     .err = Eq(k_empty_datagram),
     .status = 1},
    {.name = "full_buffer_ends_reply",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + std::string(32764, 'x')}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = std::string(32764, 'x') + "\nB\n\n"},
    {.name = "datagram_cut_to_room_left",
     .script = {.args = {"-q", "0", k_at, "pw", "a", "b"},
                .replies = {{H + std::string(29996, 'a'), std::string(5000, 'b')}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = std::string(29996, 'a') + std::string(2768, 'b') + "\nB\n\n"},
    {.name = "longest_request_fits",
     .script = {.args = {k_at, std::string(32758, 'p'), ""}, .replies = {{H + "ok\n"}}},
     .requests = {request("", std::string(32758, 'p'))},
     .out = "ok\n\n"},
    {.name = "longer_request_refused_and_stops",
     .script = {.args = {k_at, std::string(32758, 'p'), "", "x", "y"}, .replies = {{H + "ok\n"}}},
     .requests = {request("", std::string(32758, 'p'))},
     .out = "ok\n\n",
     .err = Eq("Request too long (tried=32769, max=32768)\n"),
     .status = 1},
    {.name = "password_beyond_any_request_refused",
     .script = {.args = {k_at, std::string(100000, 'p'), "a"}},
     .err = Eq("Request too long (tried=100011, max=32768)\n"),
     .status = 1},
    {.name = "broadcast_refused_at_send",
     .script = {.args = {"127.255.255.255:{port}", "pw", "a", "b"}, .deadline = k_at_once},
     .err = Eq("Could not send UDP packet (tried=13, rc=-1): Permission denied\n"),
     .status = 1},
    {.name = "lost_output_stops_before_next_command",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + "A\n"}, {H + "B\n"}},
                .output_file = "/dev/full"},
     .requests = {request("a")},
     .err = Eq("Couldn't write standard output: No space left on device\n"),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Exchange, Telk, testing::ValuesIn(k_exchanges), case_name);
INSTANTIATE_TEST_SUITE_P(Exchange, Faces, testing::ValuesIn(k_exchanges), case_name);

/// `count` datagrams of a real server's long reply, each with `size` bytes of text.
Strings long_reply(int count, std::size_t size)
{
    Strings datagrams;
    for (int i = 0; i < count; ++i)
        datagrams.push_back(k_first + std::string(size, static_cast<char>('a' + i % 26)));
    return datagrams;
}

/// The text of long_reply(count, size).
std::string long_text(int count, std::size_t size)
{
    std::string text;
    for (const std::string &datagram : long_reply(count, size))
        text += datagram.substr(k_first.size());
    return text;
}

/// A run of "-q 0.3" with commands "a" and "b": `pieces` answer "a", and "B" answers "b".
Case quiet(const char *name, const Strings &pieces, const std::string &out)
{
    return {.name = name,
            .script = {.args = {"-q", "0.3", k_at, "pw", "a", "b"}, .replies = {pieces, {H + "B"}}},
            .requests = {request("a"), request("b")},
            .out = out + "\nB\n"};
}

const Case k_quiet[] = {
    quiet("quiet_joins_pieces_without_openings",
          {k_first + "ab", k_first + "cd\n", k_first, k_first + "ef"}, "print\nabcd\nef"),
    quiet("quiet_keeps_a_first_line_that_differs", {k_first + "ab", H + "other\ncd"},
          "print\nabother\ncd"),
    quiet("quiet_appends_a_piece_without_header_whole", {k_first + "ab", "print\ncd"},
          "print\nabprint\ncd"),
    quiet("quiet_waits_past_a_lone_header", {H, k_first + "ab"}, "print\nab"),
    quiet("quiet_prints_beyond_the_exchange_buffer",
          {k_first + std::string(16000, 'x'), k_first + std::string(20000, 'y')},
          "print\n" + std::string(16000, 'x') + std::string(20000, 'y')),
    quiet("quiet_prints_a_datagram_larger_than_the_exchange_buffer",
          {k_first + std::string(40000, 'x')}, "print\n" + std::string(40000, 'x')),
    quiet("quiet_prints_every_piece_of_a_long_reply", long_reply(60, 1000),
          "print\n" + long_text(60, 1000)),
    quiet("quiet_drops_empty_datagrams", {k_first + "a", "", k_first + "c"}, "print\nac"),
    quiet("dialect_read_from_the_first_text", {H, H + "nabc\n\0"s}, "nabc\n"),
    quiet("dialect_read_across_a_split_header", {"\xff\xff", "\xff\xffnabc\n\0"s}, "nabc\n"),
    {.name = "quiet_refused_password_split_across_pieces_fails",
     .script = {.args = {"-q", "0.1", "-c", k_at, "pw", "a", "b"},
                .replies = {{k_first + "No rconpassword set", k_first + " on the server.\n"}}},
     .requests = {request("a")},
     .out = "No rconpassword set on the server.\n",
     .err = Eq(k_no_password_set),
     .status = 1},
    {.name = "quiet_stopped_past_the_bound_takes_what_came_in_time",
     .script = {.args = {"-q", "0.1", "-w", "0.5", k_at, "pw", "a"},
                .every_tick = stopped_while_sent(k_first + "A\n"),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = "print\nA\n\n"},
    {.name = "quiet_error_without_room_for_its_report_fails_nothing",
     .script = {.args = {"-q", "0.1", "-i", "0.5", k_at, "pw", "a", "b"},
                .replies = {{k_first + "A\n"}, {k_first + "B\n"}},
                .on_output = at_reply_end(overflow_then_time_exceeded),
                .forges_icmp = true},
     .requests = {request("a"), request("b")},
     .out = "print\nA\n\nprint\nB\n\n"},
};
INSTANTIATE_TEST_SUITE_P(Quiet, Telk, testing::ValuesIn(k_quiet), case_name);
INSTANTIATE_TEST_SUITE_P(Quiet, Faces, testing::ValuesIn(k_quiet), case_name);

// A burst that telk cannot write out as fast as it comes waits on its socket, in the room
// that telk asks for and the system grants up to its limit.
TEST(TelkQuiet, BurstComesOutWhole)
{
    std::ifstream limit("/proc/sys/net/core/rmem_max");
    long room = 0;
    if (!(limit >> room) || room < (1 << 20))
        GTEST_SKIP() << "the system grants a socket no more than " << room << " bytes";
    const FakeServer server(0);
    const Case c = quiet("burst", long_reply(300, 1000), "print\n" + long_text(300, 1000));
    expect_outcome(c, run_telk(server, c.script));
}

/// A reply that fills the buffer, and what telk prints of it.
const std::string k_full_reply = H + std::string(32763, 'x') + "\n";
const std::string k_full_text = std::string(32763, 'x') + "\n\n";

const Case k_bounds[] = {
    {.name = "dripping_reply_ends_at_the_bound",
     .script = {.args = {"-q", "0", "-w", "1", k_at, "pw", "a"},
                .replies = {{H + "a"}},
                .every_tick = sends("b"),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = testing::MatchesRegex("ab+\n")},
    {.name = "dripping_openings_end_at_the_bound_when_collecting",
     .script = {.args = {"-q", "0.3", "-w", "1", k_at, "pw", "a"},
                .replies = {{k_first}},
                .every_tick = sends(k_first),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = "print\n\n"},
    {.name = "empty_datagrams_do_not_hold_a_quiet_reply_open",
     .script = {.args = {"-q", "0.3", "-w", "5", k_at, "pw", "a"},
                .replies = {{k_first + "A\n"}},
                .every_tick = sends(""),
                .deadline = std::chrono::seconds(2)},
     .requests = {request("a")},
     .out = "print\nA\n\n"},
    {.name = "dripping_headers_time_out_when_collecting",
     .script = {.args = {"-q", "0.3", "-w", "1", k_at, "pw", "a", "b"},
                .replies = {{H}},
                .every_tick = sends(H),
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .err = Eq(k_timed_out),
     .status = 1},
    {.name = "three_quick_datagrams_make_one_reply",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + "a", "b", "c\n"}, {H + "B\n"}},
                .deadline = k_at_once},
     .requests = {request("a"), request("b")},
     .out = "abc\n\nB\n\n"},
    {.name = "stopping_and_continuing_does_not_extend_the_bound",
     .script = {.args = {"-w", "1", k_at, "pw", "a"},
                .every_tick = stop_and_continue,
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .err = k_unanswered,
     .status = 1},
    {.name = "time_exceeded_is_waited_past_and_keeps_the_text",
     .script = {.args = {"-w", "1", k_at, "pw", "a"},
                .replies = {{H + "part"}},
                .every_tick = forges(ICMP_TIME_EXCEEDED, ICMP_EXC_TTL),
                .forges_icmp = true,
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = "part\n"},
    {.name = "port_unreachable_about_another_port_is_waited_past",
     .script = {.args = {k_at, "pw", "a"},
                .replies = {{H + "A\n"}},
                .before_reply = forges(ICMP_DEST_UNREACH, ICMP_PORT_UNREACH, 1),
                .forges_icmp = true},
     .requests = {request("a")},
     .out = "A\n\n"},
    {.name = "host_unreachable_about_the_target_fails",
     .script = {.args = {k_at, "pw", "a", "b"},
                .replies = {{H + "A\n"}},
                // both come while telk is stopped; the one about the target decides
                .before_reply =
                    [](const Scene &scene) {
                        stop_telk(scene);
                        forges(ICMP_DEST_UNREACH, ICMP_HOST_UNREACH)(scene);
                        forges(ICMP_DEST_UNREACH, ICMP_PORT_UNREACH, 1)(scene);
                        kill(scene.pid, SIGCONT);
                    },
                .forges_icmp = true},
     .requests = {request("a")},
     .err = Eq("Error receiving UDP packet (tried=32768, rc=-1): No route to host\n"),
     .status = 1},
    {.name = "port_unreachable_during_a_pause_does_not_fail_the_next_send",
     .script = {.args = {"-i", "0.5", k_at, "pw", "a", "b"},
                .replies = {{H + "A\n"}, {H + "B\n"}},
                .on_output = forges(ICMP_DEST_UNREACH, ICMP_PORT_UNREACH),
                .forges_icmp = true},
     .requests = {request("a"), request("b")},
     .out = "A\n\nB\n\n"},
    {.name = "icmpv6_time_exceeded_is_waited_past",
     .script = {.args = {"-w", "1", "[::1]:{port}", "pw", "a"},
                .replies = {{H + "part"}},
                .every_tick = forges(ICMP6_TIME_EXCEEDED, ICMP6_TIME_EXCEED_TRANSIT),
                .forges_icmp = true,
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = "part\n",
     .ipv6 = true},
    {.name = "icmpv6_port_unreachable_about_another_port_is_waited_past",
     .script = {.args = {"[::1]:{port}", "pw", "a"},
                .replies = {{H + "A\n"}},
                .before_reply = forges(ICMP6_DST_UNREACH, ICMP6_DST_UNREACH_NOPORT, 1),
                .forges_icmp = true},
     .requests = {request("a")},
     .out = "A\n\n",
     .ipv6 = true},
    {.name = "icmpv6_address_unreachable_about_the_target_fails",
     .script = {.args = {"[::1]:{port}", "pw", "a", "b"},
                .replies = {{H + "A\n"}},
                .before_reply = forges(ICMP6_DST_UNREACH, ICMP6_DST_UNREACH_ADDR),
                .forges_icmp = true},
     .requests = {request("a")},
     .err = Eq("Error receiving UDP packet (tried=32768, rc=-1): No route to host\n"),
     .status = 1,
     .ipv6 = true},
    {.name = "late_piece_before_the_next_request_is_printed_with_its_reply",
     .script = {.args = {"-q", "0.2", "-i", "0.5", k_at, "pw", "a", "b"},
                .replies = {{k_first + "A\n"}, {k_first + "B\n"}},
                .every_tick = at_tick(4, sends(k_first + "late\n"))},
     .requests = {request("a"), request("b")},
     .out = "print\nA\nlate\n\nprint\nB\n\n"},
    {.name = "quiet_time_is_kept_by_arrival_through_a_stop",
     .script = {.args = {"-q", "0.1", "-w", "3", k_at, "pw", "a"},
                .every_tick =
                    [](const Scene &scene) {
                        if (scene.ticks == 1) stop_telk(scene);
                        if (scene.ticks == 2) sends(k_first + "A\n")(scene);
                        if (scene.ticks == 7) sends(k_first + "B\n")(scene);
                        if (scene.ticks == 11) kill(scene.pid, SIGCONT);
                    },
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .out = "print\nA\n\n"},
    {.name = "what_came_is_written_out_when_told_to_end_while_stopped",
     .script = {.args = {k_at, "pw", "a", "b"},
                .every_tick =
                    [](const Scene &scene) {
                        if (scene.ticks == 1) stop_telk(scene);
                        if (scene.ticks == 3) sends(k_first + "A\n")(scene);
                        if (scene.ticks == 6) kill(scene.pid, SIGTERM);
                        if (scene.ticks == 6) kill(scene.pid, SIGCONT);
                    }},
     .requests = {request("a")},
     .out = "print\nA\n\n",
     .status = 128 + SIGTERM},
    {.name = "the_request_sent_back_is_no_reply",
     .script = {.args = {"-c", k_at, "secret", "status", "b"},
                .respond = [](const Strings &requests, const Times &) { return Strings{requests.back()}; }},
     .requests = {request("status", "secret")},
     .err = testing::MatchesRegex("127.0.0.1:[0-9]+ sent the request back: it echoes, and is no "
                                  "server of this protocol\n"),
     .status = 1},
    {.name = "full_nonblocking_output_waits_for_its_reader",
     .script = {.args = {k_at, "pw", "a", "b", "c", "d", "e"},
                .replies = {{k_full_reply},
                            {k_full_reply},
                            {k_full_reply},
                            {k_full_reply},
                            {k_full_reply}},
                .nonblocking_output = true},
     .requests = {request("a"), request("b"), request("c"), request("d"), request("e")},
     .out = k_full_text + k_full_text + k_full_text + k_full_text + k_full_text},
    {.name = "closed_input_under_a_limit_of_one_file_never_reads_the_socket",
     .script = {.args = {k_at, "pw"},
                .closed_fd = 0,
                .max_files = 1,
                .deadline = std::chrono::seconds(10)},
     .err = Eq("Couldn't open UDP socket: Too many open files\n"),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Bound, Telk, testing::ValuesIn(k_bounds), case_name);
INSTANTIATE_TEST_SUITE_P(Bound, Faces, testing::ValuesIn(k_bounds), case_name);

/// A run of "-w 0.4" (or `args`) whose request the server leaves unanswered, while it answers
/// telk's question why with `answer`; `says` ends telk's explanation.
Case silent(const char *name, const Strings &answer, const std::string &says,
            Strings args = {"-w", "0.4", k_at, "pw", "a", "b"})
{
    return {.name = name,
            .script = {.args = std::move(args), .probe_answer = answer},
            .requests = {request("a")},
            .err = testing::AllOf(StartsWith(k_timed_out + "127.0.0.1:"), testing::EndsWith(says)),
            .status = 1};
}

const Case k_silences[] = {
    silent("first_family_is_up_and_dropped_the_request",
           {"junk", "junk", "junk", "junk", "junk", "junk", "junk", "junk",
            H + "challengeResponse 42"},
           "then one a second (see -i), or the reply was lost\n"),
    silent("an_answer_of_no_family_is_no_silence", {H + "print\nUnknown command \"getchallenge\""},
           "answers, but not as any server of this protocol does: the port may belong to another "
           "service\n"),
    {.name = "part_of_a_header_heard_is_no_silence_to_explain",
     .script = {.args = {"-w", "0.6", k_at, "pw", "a"},
                .replies = {{"\xff\xff"}},
                .probe_answer = {H + "challengeResponse 42"}},
     .requests = {request("a")},
     .err = Eq(k_timed_out),
     .status = 1},
    {.name = "sha1_to_a_server_of_plain_requests_says_leave_s_out",
     .script = {.args = {"-w", "0.4", "-s", "sha1", k_at, "pw", "a", "b"},
                .probe_answer = {H + "challengeResponse 42"}},
     .check_requests = [](const Strings &requests) { EXPECT_EQ(requests.size(), 1U); },
     .err = Eq("The server answered as servers of plain requests do: leave -s out\n"),
     .status = 1},
    {.name = "no_question_no_cause",
     .script = {.args = {"-w", "0.4", k_at, "pw", "a"}, .max_files = 4},
     .requests = {request("a")},
     .err = Eq(k_timed_out),
     .status = 1},
    {.name = "no_question_after_the_bound",
     .script = {.args = {"-w", "1", k_at, "pw", "a"},
                .probe_answer = {H + "challengeResponse 42"},
                .every_tick =
                    [](const Scene &scene) {
                        if (scene.ticks == 3) stop_telk(scene);
                        if (scene.ticks == 15) kill(scene.pid, SIGCONT);
                    },
                .deadline = std::chrono::seconds(10)},
     .requests = {request("a")},
     .err = Eq(k_timed_out),
     .status = 1},
    silent("second_family_answers_refusals_with_silence", {H + "challenge 42\0"s},
           "check the password, or try -s time or -s challenge\n",
           {"-w", "0.4", "-s", "plain", k_at, "pw", "a", "b"}),
    {.name = "second_family_gets_the_command_signed_and_its_silence_means_a_wrong_password",
     .script = {.args = {"-w", "0.4", k_at, "pw", "a", "b"},
                .replies = {{}, {H + "challenge 42\0"s}},
                .probe_answer = {H + "challenge 42\0"s}},
     .check_requests =
         [](const Strings &requests) {
             ASSERT_EQ(requests.size(), 3U);
             EXPECT_EQ(requests[0], request("a"));
             EXPECT_EQ(requests[1], H + "getchallenge");
             EXPECT_THAT(requests[2], StartsWith(H + "srcon HMAC-MD4 CHALLENGE "));
         },
     .err = testing::AllOf(StartsWith(k_timed_out + "127.0.0.1:"),
                           testing::EndsWith("signed requests do, and they answer a wrong password "
                                             "with silence: check the password\n")),
     .status = 1},
    {.name = "a_server_that_answered_as_plain_servers_do_gets_no_signed_request_later",
     .script = {.args = {"-w", "0.6", k_at, "pw", "a", "b"},
                .replies = {{k_first + "A\n"}, {}},
                .probe_answer = {H + "challenge 42\0"s}},
     .requests = {request("a"), request("b")},
     .out = "print\nA\n\n",
     .err = testing::AllOf(StartsWith(k_timed_out + "127.0.0.1:"),
                           testing::EndsWith("try -s time or -s challenge\n")),
     .status = 1},
    silent("third_family_answers_everything_so_the_reply_was_lost", {H + "c42\0"s},
           "answer every request do: the reply was lost\n"),
    {.name = "a_reply_within_twice_the_questions_round_trip_keeps_the_plain_request",
     .script = {.args = {"-w", "3", k_at, "pw", "a"},
                .every_tick =
                    [](const Scene &scene) {
                        if (scene.asked_tick < 0) return;
                        Scene asked = scene;
                        asked.telk = scene.question;
                        // a round trip of 0.2 s at least: the signed request waits 0.4 s more
                        if (scene.ticks == scene.asked_tick + 3) sends(H + "challenge 4\0"s)(asked);
                        if (scene.ticks == scene.asked_tick + 4) sends(H + "nA\n")(scene);
                    }},
     .requests = {request("a")},
     .out = "nA\n\n"},
    {.name = "reply_after_the_question_still_counts",
     .script = {.args = {"-w", "1", k_at, "pw", "a"},
                .every_tick =
                    [](const Scene &scene) {
                        if (scene.ticks == 7) sends(H + "A\n")(scene);
                    }},
     .requests = {request("a")},
     .out = "A\n\n"},
    {.name = "challenge_answered_as_plain_servers_do_fails_at_once",
     .script = {.args = {"-s", "challenge", k_at, "pw", "a"},
                .replies = {{H + "challengeResponse 42"}},
                .deadline = k_at_once},
     .requests = {H + "getchallenge"},
     .err = Eq("The server answered as servers of plain requests do: leave -s out\n"),
     .status = 1},
};
INSTANTIATE_TEST_SUITE_P(Silence, Telk, testing::ValuesIn(k_silences), case_name);
INSTANTIATE_TEST_SUITE_P(Silence, Faces, testing::ValuesIn(k_silences), case_name);

const Case k_waits[] = {
    // these two wait out the real bound
    {.name = "silence_times_out_and_stops",
     .script = {.args = {k_at, "pw", "a", "b"}},
     .requests = {request("a")},
     .err = k_unanswered,
     .status = 1},
    {.name = "silence_after_text_ends_reply",
     .script = {.args = {k_at, "pw", "a", "b"}, .replies = {{H + "part"}, {H + "B\n"}}},
     .requests = {request("a"), request("b")},
     .out = "part\nB\n\n"},
    {.name = "stop_and_continue_keeps_waiting",
     .script = {.args = {k_at, "pw", "a"},
                .replies = {{H + "A\n"}},
                .before_reply = stop_and_continue},
     .requests = {request("a")},
     .out = "A\n\n"},
};
INSTANTIATE_TEST_SUITE_P(Wait, Telk, testing::ValuesIn(k_waits), case_name);
INSTANTIATE_TEST_SUITE_P(Wait, Faces, testing::ValuesIn(k_waits), case_name);

} // namespace
