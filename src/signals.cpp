// Signals noted, for the exchange and the command sources to act on where it is safe.
#include "signals.hpp"

#include <csignal>
#include <initializer_list>

namespace {

// In the data section, with the exchange's own small state, which reads them: on a page of
// their own they would cost every run a page fault and 4 KiB.
[[gnu::section(".data")]] volatile std::sig_atomic_t stopped_by = 0;
[[gnu::section(".data")]] volatile std::sig_atomic_t continued = 0;

/// Notes `signal`; told a second time, telk ends at once, whatever it was waiting for.
void note_stop(int signal)
{
    if (stopped_by != 0) {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigaction(signal, &fallback, nullptr);
        raise(signal);
    }
    stopped_by = signal;
}

void note_continue(int /*signal*/) { continued = continued + 1; }

/// Has `signal` handled by `handler`; `restart` lets the calls it interrupts go on. A
/// signal that was ignored stays ignored.
void handle(int signal, void (*handler)(int), bool restart)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = restart ? SA_RESTART : 0;
    struct sigaction before {};
    sigaction(signal, &action, &before);
    if (before.sa_handler == SIG_IGN) sigaction(signal, &before, nullptr);
}

} // namespace

void watch_signals()
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        handle(signal, note_stop, false);
    handle(SIGCONT, note_continue, true);
}

int stop_signal() { return stopped_by; }

bool forget_interrupt()
{
    stopped_by = 0;
    return true;
}

unsigned long continues() { return static_cast<unsigned long>(continued); }

void end_by_signal()
{
    if (stopped_by == 0) return;
    std::signal(stopped_by, SIG_DFL);
    std::raise(stopped_by);
}
