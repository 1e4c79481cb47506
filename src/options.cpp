// The options in front of the host: their letters, ranges and messages, and the help.
#include "options.hpp"
#include "output.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

namespace {

using std::chrono::microseconds;

/// An option that takes seconds: the range it accepts, where its value goes, what it means.
struct option_rule {
    char letter;
    double min_seconds;
    double max_seconds;
    microseconds options::*value;
    const char *meaning;
};

constexpr std::array k_option_rules{
    option_rule{'w', 0.001, 3600, &options::wait, "the longest an exchange may take"},
    option_rule{'q', 0, 60, &options::quiet, "quiet time that ends a reply (0: a newline)"},
    option_rule{'i', 0, 3600, &options::pace, "least pause between commands (0: no pacing at all)"},
};

/// getopt's view of the options: k_option_rules, -p and -s with a value, -c, -j, -b, -h and -V. '+'
/// stops at the host, so a password or command that begins with '-' is left alone; ':' leaves the
/// messages to telk.
constexpr const char *k_getopt_letters = "+:w:q:i:p:s:cjbhV";
constexpr std::array<option, 3> k_long_options{
    {{"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}}};

/// A double holds every whole number below this exactly, and ten to the power of this many
/// places at most.
constexpr std::uint64_t k_exact_below = std::uint64_t{1} << 53;
constexpr std::size_t k_exact_places = 22;
constexpr std::uint64_t k_decimal = 10;

/// Reads a decimal number of seconds (10, 2.5, .5) within `rule`'s range into `value`.
/// Returns 0, or 1 when `text` is no such number.
int read_seconds(const char *text, const option_rule &rule, microseconds &value)
{
    // A number of a few digits is its digits over a power of ten, both exact, and one division
    // rounds it as strtod does: strtod is left for long ones, and its pages out of a run's start.
    std::uint64_t number = 0; // of the digits, without the point
    std::size_t digits = 0;
    std::size_t places = 0; // behind the point
    bool point = false;
    bool exact = true; // number holds every digit, exactly as a double too
    for (const char *at = text; *at != '\0'; ++at) {
        if (*at == '.' && !point) {
            point = true;
            continue;
        }
        if (*at < '0' || *at > '9') return 1;
        ++digits;
        places += point ? 1 : 0;
        number = number * k_decimal + static_cast<std::uint64_t>(*at - '0');
        exact = exact && number < k_exact_below;
    }
    if (digits == 0) return 1;
    const bool divided = exact && places <= k_exact_places;
    double power = 1;
    for (std::size_t i = 0; divided && i < places; ++i)
        power *= k_decimal;
    const double seconds = divided ? static_cast<double>(number) / power
                                   : std::strtod(text, nullptr); // an overflow is out of range
    if (!(seconds >= rule.min_seconds && seconds <= rule.max_seconds)) return 1;
    value = std::chrono::round<microseconds>(std::chrono::duration<double>(seconds));
    // only 0 itself means none: a value too small to count is the least there is
    if (seconds > 0) value = std::max(value, microseconds(1));
    return 0;
}

/// What an unknown option's message goes on with.
constexpr const char *k_options_are = "the options are -w, -q, -i, -p, -s, -c, -j, -b, -h and -V";

/// The forms that -s takes, by name.
struct form_name {
    const char *name;
    request_form form;
};
constexpr std::array k_form_names{form_name{"time", request_form::signed_by_time},
                                  form_name{"challenge", request_form::signed_by_challenge},
                                  form_name{"plain", request_form::plain},
                                  form_name{"sha1", request_form::hashed_by_time}};

/// Reads the form that -s names into `form`. Returns 0, or 1 after saying that there is none
/// of that name.
int read_form(const char *name, request_form &form)
{
    for (const form_name &known : k_form_names) {
        if (name != nullptr && std::strcmp(name, known.name) == 0) {
            form = known.form;
            return 0;
        }
    }
    std::fputs("Option -s takes time, challenge, plain or sha1\n", stderr);
    return 1;
}

const option_rule *find_rule(int letter)
{
    for (const option_rule &rule : k_option_rules)
        if (rule.letter == letter) return &rule;
    return nullptr;
}

/// Says on standard error that the option getopt_long has just refused is unknown.
void report_unknown_option(char *argv[])
{
    // getopt_long names a long option by 0, and one of its own (--help=x) by its letter: then
    // the argument says it as it was written.
    if (optopt != 0 && optopt != 'h' && optopt != 'V')
        std::fprintf(stderr, "Unknown option -%c: %s\n", optopt, k_options_are);
    else
        std::fprintf(stderr, "Unknown option %s: %s\n", argv[optind - 1], k_options_are);
}

/// Room for a line of the help.
constexpr std::size_t k_help_line_size = 128;

} // namespace

/// Reads the options in front of the host into `opts`; optind is then the host's index.
/// Stops at -h or -V. Returns 0, or 1 after saying on standard error what is wrong.

int read_options(int argc, char *argv[], options &opts)
{
    for (int got;
         (got = getopt_long(argc, argv, k_getopt_letters, k_long_options.data(), nullptr)) != -1;) {
        switch (got) {
        case 'h':
            opts.help = true;
            return 0;
        case 'V':
            opts.version = true;
            return 0;
        case 'c':
            opts.clean = true;
            continue;
        case 'j':
            opts.json = true;
            continue;
        case 'b':
            opts.gather = true;
            continue;
        case 'p':
            opts.password_file = optarg;
            continue;
        case 's':
            if (read_form(optarg, opts.form) != 0) return 1;
            opts.form_given = true;
            continue;
        }
        if (got == ':' && optopt == 's') return read_form(nullptr, opts.form);
        if (got == ':' && optopt == 'p') {
            std::fputs("Option -p takes the name of a file\n", stderr);
            return 1;
        }
        const option_rule *rule = find_rule(got == ':' ? optopt : got);
        if (rule == nullptr) {
            report_unknown_option(argv);
            return 1;
        }
        if (got == ':' || read_seconds(optarg, *rule, opts.*rule->value) != 0) {
            std::fprintf(stderr, "Option -%c takes a number of seconds from %g to %g\n",
                         rule->letter, rule->min_seconds, rule->max_seconds);
            return 1;
        }
    }
    if (!opts.json || !opts.gather) return 0;
    std::fputs("Options -b and -j do not go together: -j writes every exchange\n", stderr);
    return 1;
}

/// Writes the synopsis and a line for each option to standard output. Returns the exit
/// status: 0, or 1 when it could not be written.

int print_help()
{
    write_out("Usage: telk [options] host[:port] password [command ...]\n"
              "       telk [options] -p file host[:port] [command ...]\n"
              "Sends each command to the remote console of a connectionless UDP server and\n"
              "prints the reply; with no command, sends each line of standard input.\n"
              "Each argument after the password is one command: telk host pw 'say hello'.\n"
              "host is a name, an IPv4 address, or an IPv6 address ([::1]:27960, or ::1);\n"
              "the port is 27960 unless given. Several, comma-separated, or @FILE, a file of\n"
              "them, go to every one at once; FILE holds a host[:port] a line, optionally\n"
              "followed by blanks and the path of that server's password file (# comments).\n");
    const options defaults;
    for (const option_rule &rule : k_option_rules) {
        const double preset = std::chrono::duration<double>(defaults.*rule.value).count();
        std::array<char, k_help_line_size> line;
        const int length =
            preset > 0
                ? std::snprintf(line.data(), line.size(),
                                "  -%c seconds     %s, %g to %g; %g unless set\n", rule.letter,
                                rule.meaning, rule.min_seconds, rule.max_seconds, preset)
                : std::snprintf(line.data(), line.size(), "  -%c seconds     %s, %g to %g\n",
                                rule.letter, rule.meaning, rule.min_seconds, rule.max_seconds);
        write_out({line.data(), std::min(static_cast<std::size_t>(length), line.size() - 1)});
    }
    write_out("  -p file        read the password from the first line of file\n"
              "  -s form        signed requests (time, challenge) or hashed ones (sha1) for\n"
              "                 servers that want them; plain: the password as it is\n"
              "  -c             print replies as clean text: no print line, no colour codes\n"
              "  -j             write a JSON object a line for each exchange\n"
              "  -b             with several servers, write the same replies once, behind\n"
              "                 one label that names them all\n"
              "  -h, --help     print this help\n"
              "  -V, --version  print the version\n"
              "Exit status: 0 when every exchange went through; 1 otherwise, or when the command\n"
              "line, the target or the socket was unusable. Told to end by a signal, telk\n"
              "ends by it, once what came is written out (a shell shows 128 + its number).\n"
              "See the manual page telk(1) for the rest.\n");
    return check_output(0);
}
