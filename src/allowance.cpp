// The allowance kept across runs: one small file of the user's own, locked while it is read
// and written, a line a server.
#include "allowance.hpp"
#include "descriptor.hpp"
#include "growable.hpp"
#include "pacing.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// The first line of the file: what it is, and the version of its layout.
constexpr std::string_view k_heading = "telk allowance 1\n";
/// A file larger than this is no file of ours.
constexpr std::size_t k_file_max = 4 << 20;
/// What is kept of a server no run has reached for this long is let go.
constexpr instant k_kept_for = std::chrono::hours(24);
/// The furthest ahead a bucket's time can legitimately be: past it, the clock began again
/// (the machine restarted) and the time means nothing.
constexpr long k_most_in_bucket = 16;

/// What the file keeps of one server.
struct kept_server {
    target_text address{};               // as text_of writes it
    int family = 0;                      // a server_family
    int form = 0;                        // a request_form, as telk chose it
    std::int64_t last_sent = 0, due = 0; // on the monotonic clock, in nanoseconds
};

/// What the state's file holds, and whose it must be.
struct kept_state {
    uid_t user = 0;                // whose the folder and the file must be
    growable<kept_server> servers; // by address
    std::size_t file_size = 0;     // as it was read
    growable<kept_server> claimed; // what the run claimed of its servers, in their order
};
/// In the data section, with the exchange's own small state: its destructor runs in every
/// run, and on a page of its own it would cost each run a page fault and 4 KiB.
[[gnu::section(".data")]] kept_state state;

/// How far what a run did may stray from what it claimed at its start and still leave
/// nothing to write at its end: a send goes a little after its turn.
constexpr instant k_claim_slack = std::chrono::milliseconds(50);

bool before(const kept_server &a, const kept_server &b)
{
    return std::strcmp(a.address.data(), b.address.data()) < 0;
}

/// Finds the folder of the state, made if need be: $XDG_RUNTIME_DIR/telk, or else telk-UID in
/// the temporary folder. Opens it. Returns its descriptor, or -1 unless it is the user's own
/// and no one else may write there.
int open_folder()
{
    // laid out by hand: formatted printing would bring its code into the start of every run
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    const char *temporary = std::getenv("TMPDIR");
    if (temporary == nullptr || temporary[0] != '/') temporary = "/tmp";
    text_buffer path;
    if (runtime != nullptr && runtime[0] == '/') {
        path.append(std::string_view{runtime});
        path.append(std::string_view{"/telk"});
    } else {
        path.append(std::string_view{temporary});
        path.append(std::string_view{"/telk-"});
        append_number(path, state.user);
    }
    path.push('\0');
    const char *folder = path.data();
    constexpr int k_folder_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(folder, k_folder_flags);
    if (fd < 0 && errno == ENOENT && mkdir(folder, S_IRWXU) == 0) fd = open(folder, k_folder_flags);
    struct stat seen {};
    if (fd < 0 || fstat(fd, &seen) != 0 || seen.st_uid != state.user ||
        (seen.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

/// Opens the state's file and locks it for this run alone; `size` is its size. Returns its
/// descriptor, or -1 unless it is a plain file of the user's own.
int open_locked(std::size_t &size)
{
    const descriptor folder{open_folder()};
    if (folder.get() < 0) return -1;
    const int fd = openat(folder.get(), "allowance", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    struct stat seen {};
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || fstat(fd, &seen) != 0 || !S_ISREG(seen.st_mode) ||
        seen.st_uid != state.user || seen.st_nlink != 1 ||
        (seen.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    size = static_cast<std::size_t>(seen.st_size);
    return fd;
}

/// Takes the next field of `line`, up to a blank, off it. Returns it.
std::string_view next_field(std::string_view &line)
{
    const std::size_t end = std::min(line.find(' '), line.size());
    const std::string_view field{line.data(), end};
    line.remove_prefix(std::min(end + 1, line.size()));
    return field;
}

/// Reads the number in `field`, whole, into `into`, if it is from 0 to `most`.
template <typename Number> bool read_number(std::string_view field, Number &into, Number most)
{
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), into);
    return error == std::errc{} && end == field.data() + field.size() && into >= 0 && into <= most;
}

/// Reads one line of the file into `into`. Returns whether it is one.
bool read_line(std::string_view line, kept_server &into)
{
    const std::string_view address = next_field(line);
    if (address.empty() || address.size() >= into.address.size()) return false;
    std::copy(address.begin(), address.end(), into.address.begin());
    into.address[address.size()] = '\0';
    constexpr auto k_latest = std::numeric_limits<std::int64_t>::max();
    return read_number(next_field(line), into.family,
                       static_cast<int>(server_family::marker_n_zero)) &&
           read_number(next_field(line), into.form,
                       static_cast<int>(request_form::hashed_by_time)) &&
           read_number(next_field(line), into.last_sent, k_latest) &&
           read_number(next_field(line), into.due, k_latest) && line.empty();
}

/// Reads the file at `fd`, `size` bytes by its owner's word, into state.servers, sorted.
/// Returns whether it parsed.
bool read_state(int fd, std::size_t size)
{
    if (size > k_file_max) return false;
    text_buffer file;
    file.reserve(size);
    for (ssize_t got = 1; got > 0 && file.size() < size;) {
        got = read(fd, file.data() + file.size(), size - file.size());
        if (got < 0) return false;
        file.resize(file.size() + static_cast<std::size_t>(got));
    }
    std::string_view rest = view_of(file);
    state.servers.clear();
    state.file_size = file.size();
    if (rest.empty()) return true; // made by this run
    if (!rest.starts_with(k_heading)) return false;
    rest.remove_prefix(k_heading.size());
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        kept_server server;
        if (end == std::string_view::npos || !read_line({rest.data(), end}, server)) return false;
        state.servers.push(server);
        rest.remove_prefix(end + 1);
    }
    std::sort(state.servers.data(), state.servers.data() + state.servers.size(), before);
    return true;
}

/// Writes state.servers to the file at `fd`, leaving out those no run reached for a day.
void write_state(int fd, instant now_at)
{
    text_buffer file;
    file.append(k_heading);
    for (const kept_server &s : state.servers.items()) {
        if (instant{s.last_sent} + k_kept_for < now_at) continue;
        file.append(std::string_view{s.address.data()});
        for (const std::int64_t field :
             {std::int64_t{s.family}, std::int64_t{s.form}, s.last_sent, s.due}) {
            file.push(' ');
            append_number(file, field);
        }
        file.push('\n');
    }
    // over the old text, cut only when shorter: a file's blocks freed cost the most by far. A
    // file written in part would not parse: better none, which starts afresh.
    if (pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size())) {
        if (ftruncate(fd, 0) != 0) return;
    } else if (file.size() < state.file_size &&
               ftruncate(fd, static_cast<off_t>(file.size())) != 0) {
        return;
    }
}

/// Where the state keeps `to`: among the first `sorted` servers, read from the file in order,
/// or added behind them (the file's order is free; it is sorted again when read).
std::size_t place_of(const target &to, std::size_t sorted)
{
    kept_server wanted;
    text_of(to, wanted.address);
    const kept_server *begin = state.servers.data();
    const kept_server *found = std::lower_bound(begin, begin + sorted, wanted, before);
    if (found != begin + sorted && std::strcmp(found->address.data(), wanted.address.data()) == 0)
        return static_cast<std::size_t>(found - begin);
    state.servers.push(wanted);
    return state.servers.size() - 1;
}

/// Takes what the state keeps of a server into `known`, unless its times cannot be: the clock
/// began again since.
void take_into(const kept_server &kept, server_state &known, const exchange_rules &rules,
               instant now_at)
{
    // a run side by side may have claimed a place to come; further than a bucket's length
    const instant last_sent{kept.last_sent};
    const instant furthest = now_at + k_most_in_bucket * k_pace_interval;
    if (last_sent == instant{} || last_sent > furthest || instant{kept.due} > furthest) return;
    known.paced.last_sent = last_sent;
    known.paced.due = instant{kept.due};
    known.earlier_runs = last_sent;
    known.family = static_cast<server_family>(kept.family);
    if (!rules.form_given) {
        known.form = static_cast<request_form>(kept.form);
        known.signed_by_telk = !sends_password(known.form);
    }
}

/// Claims in `kept` the place of the first request to a server that `known` describes.
void claim_first(kept_server &kept, const server_state &known, const exchange_rules &rules,
                 instant now_at)
{
    const long allowed = burst(known.form, known.family);
    pace claimed = known.paced;
    note_sent(claimed, next_turn(known.paced, now_at, rules.pause, allowed), allowed);
    kept.last_sent = claimed.last_sent.count();
    kept.due = std::max(kept.due, claimed.due.count());
}

} // namespace

bool take_kept_pace(std::span<const paced_server> servers, const exchange_rules &rules)
{
    if (rules.pause.count() == 0) return false;
    state.user = geteuid();
    std::size_t size = 0;
    const descriptor file{open_locked(size)};
    if (file.get() < 0 || !read_state(file.get(), size)) return false;
    const instant now_at = now();
    state.claimed.clear();
    const std::size_t sorted = state.servers.size();
    for (const paced_server &s : servers) {
        kept_server &kept = state.servers[place_of(*s.to, sorted)];
        take_into(kept, *s.known, rules, now_at);
        claim_first(kept, *s.known, rules, now_at);
        state.claimed.push(kept);
    }
    write_state(file.get(), now_at);
    return true;
}

/// Whether what the run did with the servers it claimed for is what it claimed: the state
/// already holds it.
bool as_claimed(std::span<const paced_server> servers)
{
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const server_state &known = *servers[i].known;
        const kept_server &claimed = state.claimed[i];
        if ((known.family != server_family::unknown &&
             static_cast<int>(known.family) != claimed.family) ||
            (!known.form_given && static_cast<int>(known.form) != claimed.form) ||
            known.paced.last_sent > instant{claimed.last_sent} + k_claim_slack ||
            known.paced.due > instant{claimed.due} + k_claim_slack)
            return false;
    }
    return true;
}

void keep_pace(std::span<const paced_server> servers)
{
    if (as_claimed(servers)) return;
    std::size_t size = 0;
    const descriptor file{open_locked(size)};
    if (file.get() < 0 || !read_state(file.get(), size)) return;
    const std::size_t sorted = state.servers.size();
    for (const paced_server &s : servers) {
        kept_server &kept = state.servers[place_of(*s.to, sorted)];
        const server_state &known = *s.known;
        kept.last_sent = std::max(kept.last_sent, known.paced.last_sent.count());
        kept.due = std::max(kept.due, known.paced.due.count());
        if (known.family != server_family::unknown) kept.family = static_cast<int>(known.family);
        if (!known.form_given) kept.form = static_cast<int>(known.form);
    }
    write_state(file.get(), now());
}
