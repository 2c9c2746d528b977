#pragma once
// Crash reports for the controller's processes: a fatal signal prints the
// process name, the signal and a backtrace to standard error, then the process
// dies of that same signal so the supervisor sees the real cause.

// Handles SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT on an alternate stack
// (a stack overflow must still be reported). `argv[0]` names the process; a
// null `argv` is allowed. Calling it again only updates the name. The
// alternate stack is the calling thread's: call it from the main thread early.
void dor2kmt_backtrace_init(char** argv);
