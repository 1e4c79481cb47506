// The console at a terminal: keys, history kept across runs, completion from the server's
// lists; each row types keys at a pseudo-terminal and checks what reached the server.
#include "harness.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <dlfcn.h>
#include <sys/stat.h>

namespace {

using namespace telk_test;

struct ConsoleCase {
    const char *name;
    Strings keys;                // typed, a piece at each prompt
    std::vector<Strings> replies;
    std::string history;         // the history file before the run
    Strings requests;            // what reached the server
    std::string kept;            // the history file after it
    std::string err;             // standard error holds it
    Hook on_output;              // runs whenever the terminal shows more
};

void PrintTo(const ConsoleCase &c, std::ostream *os) { *os << c.name; }

class Console : public testing::TestWithParam<ConsoleCase> {};

/// The whole of the file at `path`.
std::string read_whole(const std::filesystem::path &path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST_P(Console, Run)
{
    const ConsoleCase &c = GetParam();
    if (void *editor = dlopen("libedit.so.2", RTLD_NOW)) {
        dlclose(editor);
    } else {
        GTEST_SKIP() << "no line editor here";
    }
    std::string dir = "/tmp/telk-console.XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::filesystem::path file = std::filesystem::path(dir) / "telk" / "history";
    if (!c.history.empty()) {
        std::filesystem::create_directory(file.parent_path());
        std::ofstream(file) << c.history;
    }
    const FakeServer server(0);
    const Outcome outcome = run_telk(server, {.args = {k_at, "pw"},
                                              .dialogue = c.keys,
                                              .replies = c.replies,
                                              .on_output = c.on_output,
                                              .console = true,
                                              .env = {"XDG_STATE_HOME=" + dir, "TERM=xterm"}});
    EXPECT_EQ(outcome.requests, c.requests);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_THAT(outcome.err, testing::HasSubstr(c.err));
    EXPECT_EQ(read_whole(file), c.kept);
    struct stat mode {};
    EXPECT_EQ(stat(file.c_str(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0600U);
    if (c.history.empty()) {
        EXPECT_EQ(stat(file.parent_path().c_str(), &mode), 0);
        EXPECT_EQ(mode.st_mode & 0777, 0700U);
    }
    std::filesystem::remove_all(dir);
}

const std::string k_ok = H + "print\nok\n";
/// A server's lists in each of the shapes that real servers write them.
const std::string k_commands[] = {
    H + "print\nstatus\nkick\n2 commands\n",
    H + "print\nstatus : show the players\nkick : kick one\n2 Commands\n",
    H + "print\nList of commands:\nstatus\nkick\n----------\n2/2 commands\n"};
const std::string k_variables[] = {
    H + "print\nS R     sv_hostname \"a b\"\n          g_gravity \"800\"\n2 total cvars\n",
    H + "print\nsv_hostname is \"a b\" [\"x\"] its name\ng_gravity is \"800\" [\"800\"] pull\n",
    H + "print\nList of cvars:\n  sv_hostname a b\n  g_gravity 800\n-----\n2/2 cvars\n"};

/// Tab completes the first word from the commands, and a later one from the variables.
ConsoleCase completes(const char *name, int shape)
{
    return {.name = name,
            .keys = {"st\tkick g_\t\r", "\x04"},
            .replies = {{k_commands[shape]}, {k_variables[shape]}, {k_ok}},
            .requests = {request("cmdlist"), request("cvarlist"), request("status kick g_gravity")},
            .kept = "status kick g_gravity\n"};
}

const ConsoleCase k_consoles[] = {
    {.name = "up_arrow_recalls_and_no_escape_reaches_the_server",
     .keys = {"status\r", "\x1b[A\r", "\x1b[A\x1b[D\x1b[Dx\r", "\x04"},
     .replies = {{k_ok}, {k_ok}, {k_ok}},
     .requests = {request("status"), request("status"), request("statxus")},
     .kept = "status\nstatxus\n"},
    {.name = "history_from_the_previous_run_and_ctrl_r",
     .keys = {"\x12" "alp\r", "\x1b[A\x1b[A\r", "\x04"},
     .replies = {{k_ok}, {k_ok}},
     .history = "alpha one\nbeta\n",
     .requests = {request("alpha one"), request("beta")},
     .kept = "alpha one\nbeta\nalpha one\nbeta\n"},
    {.name = "the_password_is_neither_sent_nor_kept_and_a_blank_keeps_a_line_out",
     .keys = {"pw\r", " quiet\r", "status\r", "\x04"},
     .replies = {{k_ok}, {k_ok}},
     .requests = {request(" quiet"), request("status")},
     .kept = "status\n",
     .err = "Not sending the password as a command\n"},
    {.name = "ctrl_c_at_the_prompt_drops_the_line_and_goes_on",
     .keys = {"abc", "status\r", "\x04"},
     .replies = {{k_ok}},
     .requests = {request("status")},
     .kept = "status\n",
     // what the terminal does at Ctrl-C, to telk's process group when it is in front
     .on_output = [](const Scene &scene) {
         if (scene.out->ends_with("abc")) kill(scene.pid, SIGINT);
     }},
    completes("tab_completes_from_one_name_a_line", 0),
    completes("tab_completes_from_name_colon_description", 1),
    completes("tab_completes_from_a_headed_list", 2),
};
INSTANTIATE_TEST_SUITE_P(Console, Console, testing::ValuesIn(k_consoles),
                         [](const testing::TestParamInfo<ConsoleCase> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
