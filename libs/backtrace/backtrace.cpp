#include "libs/backtrace/backtrace.h"

#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kMaxFrames = 64;

struct FatalSignal {
    int number;
    const char* name;
};
constexpr FatalSignal kFatalSignals[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
    {SIGILL, "SIGILL"},   {SIGABRT, "SIGABRT"},
};

// Static: the handler may run when the heap is what broke.
char g_process_name[64] = "?";
alignas(16) char g_alt_stack[64 * 1024];
bool g_installed = false;
void (*volatile g_last_words)() = nullptr;

void write_text(const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, left);
        if (n <= 0) {
            return;
        }
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void write_number(long value) {
    char digits[24];
    char* p = digits + sizeof digits;
    *--p = '\0';
    const bool negative = value < 0;
    unsigned long magnitude =
        negative ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) {
        *--p = '-';
    }
    write_text(p);
}

const char* signal_name(int number) {
    for (const FatalSignal& s : kFatalSignals) {
        if (s.number == number) {
            return s.name;
        }
    }
    return "signal";
}

void on_fatal_signal(int number) {
    const int saved_errno = errno;
    if (void (*last_words)() = g_last_words; last_words != nullptr) {
        last_words();
    }
    write_text("*** ");
    write_text(g_process_name);
    write_text(" [pid ");
    write_number(::getpid());
    write_text("]: fatal signal ");
    write_number(number);
    write_text(" (");
    write_text(signal_name(number));
    write_text("), backtrace:\n");
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
    write_text("*** end of backtrace\n");
    errno = saved_errno;

    // Die of the same signal: it stays blocked until the handler returns, and a
    // hardware fault simply happens again under the default action.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(number, &dfl, nullptr);
    ::raise(number);
}

void set_name(char** argv) {
    const char* name = (argv != nullptr && argv[0] != nullptr) ? argv[0] : "?";
    if (const char* slash = std::strrchr(name, '/'); slash != nullptr && slash[1] != '\0') {
        name = slash + 1;
    }
    std::strncpy(g_process_name, name, sizeof g_process_name - 1);
    g_process_name[sizeof g_process_name - 1] = '\0';
}

}  // namespace

void dor2kmt_backtrace_set_last_words(void (*last_words)()) {
    g_last_words = last_words;
}

void dor2kmt_backtrace_init(char** argv) {
    set_name(argv);
    if (g_installed) {
        return;
    }
    g_installed = true;

    // The first backtrace() loads the unwinder, which allocates; do it now
    // rather than inside a handler.
    void* warm_up[1];
    ::backtrace(warm_up, 1);

    // Keep an alternate stack someone else (a sanitizer runtime) already set.
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) != 0) {
        stack_t stack{};
        stack.ss_sp = g_alt_stack;
        stack.ss_size = sizeof g_alt_stack;
        ::sigaltstack(&stack, nullptr);
    }

    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const FatalSignal& s : kFatalSignals) {
        ::sigaction(s.number, &action, nullptr);
    }
}
