// Preloaded into kill_wait to see what its parent's SIGCHLD handler calls. A handler may
// interrupt the main program inside printf() or malloc(), holding their lock or halfway
// through their data; calling them again from the handler can deadlock or corrupt them,
// which shows only on an unlucky run. So this library records every call of stdio's output
// functions and of malloc's family made while a SIGCHLD handler runs, whether or not this
// run was unlucky: it learns the handler from sigaction() or signal() and runs it inside a
// wrapper of its own.
// Each such call appends its function's name and a newline to the file
// RECORD_HANDLER_CALLS names. Loaded, the library creates that file: a program it cannot
// reach (statically linked) leaves none, and the test knows it was not tried.
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

// The C library's own parameter names are reserved ones (__set, __act, __s): ours differ.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
// The C library's own names (reserved ones) for its allocator and its checked printf.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *old, size_t size);
extern "C" void __libc_free(void *memory);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

static volatile sig_atomic_t inside_handler = 0;
static int record = -1;
static struct sigaction theirs = {}; // the program's SIGCHLD action

__attribute__((constructor)) static void loaded()
{
    if (const char *path = getenv("RECORD_HANDLER_CALLS")) {
        record = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
}

static void note(const char *function)
{
    if (inside_handler != 0 && record >= 0) {
        char line[64];
        const size_t length = strnlen(function, sizeof line - 1);
        memcpy(line, function, length);
        line[length] = '\n';
        [[maybe_unused]] const ssize_t written = write(record, line, length + 1);
    }
}

static void wrapper(int sig, siginfo_t *info, void *context)
{
    inside_handler = inside_handler + 1;
    if ((theirs.sa_flags & SA_SIGINFO) != 0) {
        theirs.sa_sigaction(sig, info, context);
    } else {
        theirs.sa_handler(sig);
    }
    inside_handler = inside_handler - 1;
}

using sigaction_function = int (*)(int, const struct sigaction *, struct sigaction *);

extern "C" int sigaction(int sig, const struct sigaction *action, struct sigaction *old)
{
    static auto next = reinterpret_cast<sigaction_function>(dlsym(RTLD_NEXT, "sigaction"));
    if (sig != SIGCHLD) {
        return next(sig, action, old);
    }
    const struct sigaction before = theirs;
    struct sigaction mine = action != nullptr ? *action : before;
    const struct sigaction *given = action;
    if (action != nullptr && action->sa_handler != SIG_DFL && action->sa_handler != SIG_IGN) {
        mine.sa_flags |= SA_SIGINFO;
        mine.sa_sigaction = wrapper;
        given = &mine;
    }
    const int result = next(sig, given, old);
    if (result == 0 && action != nullptr) {
        theirs = *action;
    }
    if (result == 0 && old != nullptr && old->sa_sigaction == wrapper) {
        *old = before; // the program sees its own handler
    }
    return result;
}

extern "C" sighandler_t signal(int sig, sighandler_t handler)
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART; // as glibc's signal() sets it
    struct sigaction old = {};
    return sigaction(sig, &action, &old) == 0 ? old.sa_handler : SIG_ERR;
}

extern "C" void *malloc(size_t size)
{
    note("malloc");
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size)
{
    note("calloc");
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *old, size_t size)
{
    note("realloc");
    return __libc_realloc(old, size);
}

extern "C" void free(void *memory)
{
    note("free");
    __libc_free(memory);
}

extern "C" int vfprintf(FILE *stream, const char *format, va_list arguments)
{
    static auto next =
        reinterpret_cast<int (*)(FILE *, const char *, va_list)>(dlsym(RTLD_NEXT, "vfprintf"));
    note("printf");
    return next(stream, format, arguments);
}

extern "C" int printf(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int result = vfprintf(stdout, format, arguments);
    va_end(arguments);
    return result;
}

extern "C" int fprintf(FILE *stream, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int result = vfprintf(stream, format, arguments);
    va_end(arguments);
    return result;
}

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __printf_chk(int /*flag*/, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int result = vfprintf(stdout, format, arguments);
    va_end(arguments);
    return result;
}

extern "C" int __fprintf_chk(FILE *stream, int /*flag*/, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int result = vfprintf(stream, format, arguments);
    va_end(arguments);
    return result;
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

// The output functions with fixed arguments, each passed on to the C library's own. (A
// parameter list cannot be put in parentheses.)
// NOLINTBEGIN(bugprone-macro-parentheses)
#define PASS_ON(result, name, parameters, arguments)                                               \
    extern "C" result name parameters                                                              \
    {                                                                                              \
        static auto next = reinterpret_cast<result(*) parameters>(dlsym(RTLD_NEXT, #name));        \
        note(#name);                                                                               \
        return next arguments;                                                                     \
    }
// NOLINTEND(bugprone-macro-parentheses)
PASS_ON(int, puts, (const char *text), (text))
PASS_ON(int, fputs, (const char *text, FILE *stream), (text, stream))
PASS_ON(int, fputc, (int c, FILE *stream), (c, stream))
PASS_ON(int, putc, (int c, FILE *stream), (c, stream))
PASS_ON(size_t, fwrite, (const void *data, size_t size, size_t count, FILE *stream),
        (data, size, count, stream))
PASS_ON(int, fflush, (FILE * stream), (stream))
PASS_ON(void, perror, (const char *text), (text))
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
