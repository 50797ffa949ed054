// kill_flag: the signal demonstration's child, with a handler that only records the signal
// and a main loop that does all the writing. A solution of the lab's second task.
//
// A handler may interrupt its process anywhere, also inside puts() or malloc(), holding a
// lock or halfway through a buffer; calling them again from the handler could deadlock or
// corrupt it. So a handler should call only async-signal-safe functions (signal-safety(7)).
// This one only sets a flag of type volatile sig_atomic_t, which it can write whole, and
// which the main loop, not the handler, turns into a line.
//
// The three signals stay blocked in the main loop, except while sigsuspend() waits: a
// handler can run only there, so no flag can be set between the loop's test of the flags
// and its going to sleep, where a plain sleep() would miss it for a second.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#if !defined(CYCLES) || !defined(INTERVAL_SECONDS) || !defined(LAST_HUP_CYCLE)
#error "build with -DCYCLES=n -DINTERVAL_SECONDS=n -DLAST_HUP_CYCLE=n"
#endif

static int output_failed = 0;

static void narrate(const char *line)
{
    if (puts(line) == EOF && output_failed == 0) {
        output_failed = 1;
        perror("standard output");
    }
}

// What the child does once a signal has come: its line, and for SIGQUIT the end. The main
// loop calls it, never the handler: puts(), perror() and exit() are not async-signal-safe.
static void tell(int sig)
{
    if (sig == SIGHUP) {
        narrate("Child: Received SIGHUP signal from parent");
    } else if (sig == SIGINT) {
        narrate("Child: Received SIGINT signal from parent");
    } else if (sig == SIGQUIT) {
        narrate("child: My DADDY has killed me !!!");
        exit(output_failed != 0 ? EXIT_FAILURE : EXIT_SUCCESS);
    }
}

// One flag per signal, indexed by its number: SIGHUP 1, SIGINT 2, SIGQUIT 3.
static volatile sig_atomic_t received[SIGQUIT + 1] = {};

static void childSignalHandler(int sig)
{
    received[sig] = 1;
}

[[noreturn]] static void run_child(const sigset_t &demo_signals)
{
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    struct sigaction action = {};
    action.sa_handler = childSignalHandler;
    action.sa_mask = demo_signals;
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);

    sigset_t waiting;
    sigprocmask(SIG_BLOCK, nullptr, &waiting);
    sigdelset(&waiting, SIGHUP);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGQUIT);
    for (;;) {
        sigsuspend(&waiting); // returns once a handler has run, with the signals blocked again
        for (int sig = SIGHUP; sig <= SIGQUIT; ++sig) { // in the order of their numbers
            if (received[sig] != 0) {
                received[sig] = 0;
                tell(sig);
            }
        }
    }
}

int main()
{
    sigset_t demo_signals;
    sigemptyset(&demo_signals);
    sigaddset(&demo_signals, SIGHUP);
    sigaddset(&demo_signals, SIGINT);
    sigaddset(&demo_signals, SIGQUIT);
    sigset_t saved_mask;
    sigprocmask(SIG_BLOCK, &demo_signals, &saved_mask);
    signal(SIGCHLD, SIG_DFL);

    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        exit(EXIT_FAILURE);
    }
    if (child == 0) {
        run_child(demo_signals);
    }
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    for (int cycle = 0; cycle < CYCLES; ++cycle) {
        sleep(INTERVAL_SECONDS);
        const bool last_cycle = cycle == CYCLES - 1;
        kill(child, cycle <= LAST_HUP_CYCLE && !last_cycle ? SIGHUP : SIGQUIT);
    }
    return EXIT_SUCCESS;
}
