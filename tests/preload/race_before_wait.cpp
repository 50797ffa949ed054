// Preloaded into kill_flag to make its rarest moment certain: a signal that comes after the
// main loop has tested its flags and before it goes to sleep. That moment exists when
// pause() or sigsuspend() is called with the demonstration's signals not blocked; this
// library then waits there until a handler has run, and only then sleeps, as the program
// would if the signal had come a moment earlier by chance. A program that tests its flags
// with the signals blocked and lets sigsuspend() unblock them is never held: no handler can
// run before the call.
// A Python handler runs only after pause() has returned, so a Python program that waits in
// signal.pause() loses a line here, as it can by chance anywhere.
// Loaded, it creates the file RACE_BEFORE_WAIT_MARK names, if set: a program it cannot reach
// (statically linked) leaves no mark, and the test knows it was not tried.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void loaded()
{
    if (const char *mark = getenv("RACE_BEFORE_WAIT_MARK")) {
        close(open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
}

// Until a handler has run: nanosleep() ends early only for one.
static void hold_until_a_signal_is_handled()
{
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    if (sigismember(&blocked, SIGHUP) != 0 && sigismember(&blocked, SIGINT) != 0 &&
        sigismember(&blocked, SIGQUIT) != 0) {
        return;
    }
    const int saved_errno = errno;
    timespec delay{3600, 0};
    while (nanosleep(&delay, nullptr) == 0) {
    }
    errno = saved_errno;
}

// The C library's own parameter names are reserved ones (__set, __act, __s): ours differ.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" int pause()
{
    static auto next = reinterpret_cast<int (*)()>(dlsym(RTLD_NEXT, "pause"));
    hold_until_a_signal_is_handled();
    return next();
}

extern "C" int sigsuspend(const sigset_t *mask)
{
    static auto next = reinterpret_cast<int (*)(const sigset_t *)>(dlsym(RTLD_NEXT, "sigsuspend"));
    hold_until_a_signal_is_handled();
    return next(mask);
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
