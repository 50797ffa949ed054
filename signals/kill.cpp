// kill: a parent process signals its child on a fixed schedule, and the child narrates
// each SIGHUP, SIGINT and SIGQUIT that reaches it, whoever sends it. The lines are fixed
// text: "from parent" and "My DADDY" whoever sent the signal (the handler is installed
// without SA_SIGINFO and is never told the sender), and "has killed me" though the child
// is not killed: it handles SIGQUIT and exits normally, with status 0.
//
// The schedule is fixed at build time: the parent runs CYCLES cycles, each one sleeping
// INTERVAL_SECONDS and then sending one signal. It sends SIGHUP up to cycle LAST_HUP_CYCLE
// and SIGQUIT after it, and always SIGQUIT in its last cycle, so the child it leaves behind
// ends with it instead of idling on as an orphan. The parent never waits for the child.
// With the three schedules built (signals/CMakeLists.txt), LAST_HUP_CYCLE is 6, 8 and 8
// while the cycles run 0..4, 0..7 and 0..6: no cycle comes after it, that branch never
// happens, and the last cycle's SIGQUIT is what ends the child. Only a LAST_HUP_CYCLE
// below CYCLES - 2 sends SIGQUIT before the last cycle; the later sends then reach the
// child's zombie and do nothing.
//
// What to look for:
//   - the signals are blocked across fork(), so a signal that reaches the child before its
//     handler is installed waits for the handler instead of killing the child;
//   - the handler's sa_mask holds all three signals back while it runs, so it never
//     re-enters the stdio it is using and its lines come out whole and in order;
//   - the child's standard output is line buffered, so every line leaves the process as
//     it is written, into a terminal, a pipe or a file alike;
//   - SIGCHLD is set back to its default before fork(), so a child that dies early stays a
//     zombie and keeps its pid for as long as the parent may still signal it;
//   - a line that cannot be written is reported once, and the child's exit status says so.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#if !defined(CYCLES) || !defined(INTERVAL_SECONDS) || !defined(LAST_HUP_CYCLE)
#error "build with -DCYCLES=n -DINTERVAL_SECONDS=n -DLAST_HUP_CYCLE=n"
#endif

// Set once a line could not be written; it decides the child's exit status.
static volatile sig_atomic_t output_failed = 0;

// The rule: a signal handler calls only async-signal-safe functions (signal-safety(7)),
// and puts(), perror() and exit() are not among them. They are safe in this one handler
// because the only code it can interrupt is the child's sleep() (which holds no stdio lock
// and no half-written buffer) or, never, itself: its sa_mask blocks the other two signals
// and the kernel blocks the one being handled until the handler returns. So the handler is
// the only user of stdout and stderr in the child, one call at a time. Do not copy it into
// a program whose main path uses stdio or malloc(): a handler that interrupts printf(),
// puts() or malloc() there deadlocks on the lock the interrupted call holds, or corrupts
// its buffer. There, the handler sets a volatile sig_atomic_t flag for the main path to
// act on, or writes with write(2) and ends with _exit().
static void narrate(const char *line)
{
    // stdout is line buffered: puts() writes the line out at once, and fails if it can't.
    if (puts(line) == EOF && output_failed == 0) {
        output_failed = 1;
        perror("standard output"); // once: the next lines are still tried, but not reported
    }
}

static void childSignalHandler(int sig)
{
    const int saved_errno = errno; // the interrupted code may still look at it
    if (sig == SIGHUP) {
        narrate("Child: Received SIGHUP signal from parent");
    } else if (sig == SIGINT) {
        narrate("Child: Received SIGINT signal from parent");
    } else if (sig == SIGQUIT) {
        narrate("child: My DADDY has killed me !!!");
        // The normal exit path: stdout is flushed; status 1 tells of a lost line.
        exit(output_failed != 0 ? EXIT_FAILURE : EXIT_SUCCESS);
    }
    errno = saved_errno;
}

int main()
{
    sigset_t demo_signals;
    sigemptyset(&demo_signals);
    sigaddset(&demo_signals, SIGHUP);
    sigaddset(&demo_signals, SIGINT);
    sigaddset(&demo_signals, SIGQUIT);

    // Block the signals before the split: the child inherits the mask, so anything sent to
    // it before its handler is in place stays pending rather than taking the default action.
    sigset_t saved_mask;
    sigprocmask(SIG_BLOCK, &demo_signals, &saved_mask);

    // A launcher may hand us SIGCHLD ignored. Then the kernel reaps a child the moment it
    // dies, its pid is free for the next new process, and our next kill() would signal a
    // stranger. At its default the dead child stays a zombie, holding its pid until we
    // end: our sends reach the zombie and do nothing. We still never wait for it.
    signal(SIGCHLD, SIG_DFL);

    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        exit(EXIT_FAILURE);
    }

    if (child == 0) {
        // A pipe or a file would make stdout fully buffered: lines would sit in the buffer
        // and be lost if a signal the child does not handle ended it.
        setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

        struct sigaction action {};
        action.sa_handler = childSignalHandler;
        action.sa_mask = demo_signals;
        action.sa_flags = 0; // no SA_RESETHAND: the handler stays for every delivery
        sigaction(SIGHUP, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGQUIT, &action, nullptr);

        // Now any signal held back since fork() is delivered, to the handler.
        sigprocmask(SIG_UNBLOCK, &demo_signals, nullptr);

        for (;;) {
            sleep(1); // a handled signal cuts the sleep short; the next one starts at once
        }
    }

    // The parent goes back to the mask it started with. It installs no handler and keeps
    // the actions it inherited: started in the foreground at a terminal, the interrupt and
    // quit keys end it by their default action; started in the background by a shell
    // without job control, it inherits SIGINT and SIGQUIT ignored, and they do not.
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);

    for (int cycle = 0; cycle < CYCLES; ++cycle) {
        sleep(INTERVAL_SECONDS);
        const bool last_cycle = cycle == CYCLES - 1;
        kill(child, cycle <= LAST_HUP_CYCLE && !last_cycle ? SIGHUP : SIGQUIT);
    }
    return EXIT_SUCCESS;
}
