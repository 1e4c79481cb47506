// A server's allowance kept across runs: loops of one-command runs against servers that drop
// or refuse what their bucket does not let through, and a state that is never trusted blindly.
#include "harness.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

namespace {

using namespace telk_test;
using steady = std::chrono::steady_clock;
namespace fs = std::filesystem;

/// A server's allowance: `size` requests at once, then one a second; what it turned away.
struct Bucket {
    explicit Bucket(int size) : size(size), tokens(size) {}
    std::mutex lock;
    int size;
    double tokens;
    steady::time_point last = steady::now();
    int turned_away = 0;

    bool take()
    {
        const std::lock_guard<std::mutex> held(lock);
        const steady::time_point at = steady::now();
        tokens = std::min<double>(size, tokens + std::chrono::duration<double>(at - last).count());
        last = at;
        if (tokens < 1) {
            ++turned_away;
            return false;
        }
        tokens -= 1;
        return true;
    }
};

struct LoopCase {
    const char *name;
    int size;  // 10: the first family, which drops what it cannot take; 1: the third, which
               // refuses it
    int loops; // side by side
    int runs;  // one-command runs in each loop, one after the other
};

void PrintTo(const LoopCase &c, std::ostream *os) { *os << c.name; }

class Loops : public testing::TestWithParam<LoopCase> {};

TEST_P(Loops, EveryReplyWithinTheAllowance)
{
    const LoopCase &c = GetParam();
    const TempFolder state;
    Bucket bucket(c.size);
    const bool first = c.size > 1;
    // a thread of its own serves the server: the runs side by side share it
    FakeFleet server(1, [&](int, const std::string &request) -> Strings {
        if (!request.starts_with(H + "rcon ")) return {};
        if (bucket.take()) return {first ? k_first + "ok\n" : H + "nok\n\0"s};
        return first ? Strings{} : Strings{H + "nBad rcon_password.\n"};
    });
    const Script script{.args = {"-w", "3", server.list(), "pw", "status"}, .env = {state.env()}};
    const FakeServer unused(0);
    const auto started = steady::now();
    std::vector<std::thread> loops;
    std::mutex lock;
    std::vector<int> statuses;
    for (int loop = 0; loop < c.loops; ++loop)
        loops.emplace_back([&] {
            for (int run = 0; run < c.runs; ++run) {
                const Outcome outcome = run_telk(unused, script);
                const std::lock_guard<std::mutex> held(lock);
                statuses.push_back(outcome.status);
            }
        });
    for (std::thread &loop : loops)
        loop.join();
    const double took = std::chrono::duration<double>(steady::now() - started).count();
    EXPECT_EQ(statuses, std::vector<int>(static_cast<std::size_t>(c.loops * c.runs), 0));
    EXPECT_EQ(bucket.turned_away, 0);
    // no slower than the allowance makes it: a second a request past those it takes at once
    EXPECT_LT(took, 1.05 * (c.loops * c.runs - c.size) + 3);
}

const LoopCase k_loops[] = {
    {"fifteen_runs_at_a_server_that_drops", 10, 1, 15},
    {"three_loops_side_by_side", 10, 3, 5},
    {"the_next_run_at_a_refusing_server_paced_from_its_first_request", 1, 1, 3},
};
INSTANTIATE_TEST_SUITE_P(Allowance, Loops, testing::ValuesIn(k_loops),
                         [](const testing::TestParamInfo<LoopCase> &info) {
                             return std::string(info.param.name);
                         });

/// The whole of the file at `path`, or "" when there is none.
std::string read_whole(const fs::path &path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct StateCase {
    const char *name;
    Strings args;                                   // before the target
    std::function<bool(const fs::path &)> prepare;  // the state folder; false: cannot here
    std::function<void(const fs::path &)> check;    // after the run
};

void PrintTo(const StateCase &c, std::ostream *os) { *os << c.name; }

class State : public testing::TestWithParam<StateCase> {};

TEST_P(State, IsNeverTrustedBlindly)
{
    const StateCase &c = GetParam();
    const TempFolder state;
    if (c.prepare && !c.prepare(state.path)) GTEST_SKIP() << "cannot be set up here";
    const FakeServer server(0);
    Script script{.replies = {{k_first + "ok\n"}}, .env = {state.env()}};
    script.args = c.args;
    script.args.insert(script.args.end(), {k_at, "pw", "status"});
    const Outcome outcome = run_telk(server, script);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    c.check(state.path);
}

const std::string k_garbage = "telk allowance 1\nnot a server\n";

/// Writes `text` into the state file of the folder at `folder`.
bool write_state(const fs::path &folder, const std::string &text)
{
    fs::create_directory(folder / "telk");
    std::ofstream(folder / "telk" / "allowance") << text;
    fs::permissions(folder / "telk" / "allowance", fs::perms::owner_read | fs::perms::owner_write);
    return true;
}

const StateCase k_states[] = {
    {"a_state_that_does_not_parse_is_left_alone", {},
     [](const fs::path &folder) { return write_state(folder, k_garbage); },
     [](const fs::path &folder) { EXPECT_EQ(read_whole(folder / "telk/allowance"), k_garbage); }},
    {"a_state_of_another_owner_is_left_alone", {},
     [](const fs::path &folder) {
         return write_state(folder, "") && chown((folder / "telk/allowance").c_str(), 1, 1) == 0;
     },
     [](const fs::path &folder) { EXPECT_EQ(read_whole(folder / "telk/allowance"), ""); }},
    {"a_link_in_place_of_the_state_is_not_followed", {},
     [](const fs::path &folder) {
         fs::create_directory(folder / "elsewhere");
         fs::create_directory_symlink(folder / "elsewhere", folder / "telk");
         return true;
     },
     [](const fs::path &folder) { EXPECT_TRUE(fs::is_empty(folder / "elsewhere")); }},
    {"a_run_keeps_the_server_it_reached", {}, nullptr,
     [](const fs::path &folder) {
         EXPECT_THAT(read_whole(folder / "telk/allowance"),
                     testing::MatchesRegex("telk allowance 1\n127\\.0\\.0\\.1:[0-9]+ 1 0 [0-9]+ "
                                           "[0-9]+\n"));
     }},
    {"no_pacing_touches_no_state", {"-i", "0"}, nullptr,
     [](const fs::path &folder) { EXPECT_TRUE(fs::is_empty(folder)); }},
};
INSTANTIATE_TEST_SUITE_P(Allowance, State, testing::ValuesIn(k_states),
                         [](const testing::TestParamInfo<StateCase> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
