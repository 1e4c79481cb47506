// What telk does when it is told to end (Ctrl-C, SIGTERM, SIGHUP), or stopped and continued.
#pragma once

/// Has SIGINT, SIGTERM and SIGHUP noted instead of ending telk at once, unless they were
/// ignored (nohup), so that what a reply brought is written out first; a wait they cut short
/// fails with EINTR. A second one ends telk at once. Counts SIGCONT. Call once, at the start.
void watch_signals();

/// The signal that told telk to end, or 0 while none has.
int stop_signal();

/// Forgets a Ctrl-C (SIGINT) that dropped the line being typed at the console: it ends
/// nothing. Returns true.
bool forget_interrupt();

/// How often telk has been continued after a stop.
unsigned long continues();

/// Ends telk the way stop_signal() would have, by its default action, so that a shell sees
/// it (130 for Ctrl-C) and a script's loop stops; returns at once when no signal came.
void end_by_signal();
