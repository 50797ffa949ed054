// Preloaded into kill_a, kill_b or kill_c to hold the forked child back for 300 ms before
// its first sigaction(), so that a test can signal the child before it has a handler, at
// will instead of by luck: unaided, that window is a few microseconds wide. The parent's
// own calls are left alone, since it also changes signal actions before it forks.
// When it holds a child back it creates the file DELAY_CHILD_HANDLERS_MARK names, if set:
// a program it cannot reach (statically linked, or not calling the C library's fork and
// sigaction) leaves no mark, and the test knows it was not tried.
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

// Set in the child by fork() itself: it is the copy of this library that fork() returned 0
// to, and only there is the first sigaction() to be delayed.
static bool in_forked_child = false;

extern "C" pid_t fork()
{
    static auto next = reinterpret_cast<pid_t (*)()>(dlsym(RTLD_NEXT, "fork"));
    const pid_t pid = next();
    if (pid == 0) {
        in_forked_child = true;
    }
    return pid;
}

// The C library's own parameter names are reserved ones (__act, __oact).
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int sigaction(int sig, const struct sigaction *action, struct sigaction *old)
{
    static auto next = reinterpret_cast<int (*)(int, const struct sigaction *, struct sigaction *)>(
        dlsym(RTLD_NEXT, "sigaction"));
    if (in_forked_child) {
        in_forked_child = false; // the first one only
        if (const char *mark = getenv("DELAY_CHILD_HANDLERS_MARK")) {
            close(open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        }
        // A signal that comes now finds the action the child inherited: blocked, it waits;
        // otherwise the default action ends the child.
        timespec delay{0, 300'000'000};
        while (nanosleep(&delay, &delay) != 0) {
        }
    }
    return next(sig, action, old);
}
