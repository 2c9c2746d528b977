#pragma once
// Crash reports for the controller's processes: a fatal signal prints the
// process name, the signal and a backtrace to standard error, then the process
// dies of that same signal so the supervisor sees the real cause.

// Handles SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT on an alternate stack
// (a stack overflow must still be reported). `argv[0]` names the process; a
// null `argv` is allowed. Calling it again only updates the name. The
// alternate stack is the calling thread's: call it from the main thread early.
void dor2kmt_backtrace_init(char** argv);

// Runs first in the handler, before the report: the place to write out what a
// process keeps in memory (held log lines). It must be async-signal-safe.
// Null removes it.
void dor2kmt_backtrace_set_last_words(void (*last_words)());
