// kill_wait: the signal demonstration's parent and child, with a parent that reaps its child
// with waitpid() and says how it ended. A solution of the lab's first task.
//
// The child is the demonstration's. The parent differs in one thing: before each send it
// asks the kernel, without waiting (WNOHANG), whether the child has ended. Once it has, and
// waitpid() has reaped it, its pid is free: the next new process may get it, and a kill()
// would reach a stranger. So the parent sends nothing more, reports, and ends. After its last
// cycle it waits for the child to end, and reports too. Either way nobody else has a zombie
// to reap.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

#if !defined(CYCLES) || !defined(INTERVAL_SECONDS) || !defined(LAST_HUP_CYCLE)
#error "build with -DCYCLES=n -DINTERVAL_SECONDS=n -DLAST_HUP_CYCLE=n"
#endif

static volatile sig_atomic_t output_failed = 0;

// As in the demonstration: the handler is the child's only user of stdio, since it only
// interrupts sleep() and its sa_mask keeps it from interrupting itself.
static void narrate(const char *line)
{
    if (puts(line) == EOF && output_failed == 0) {
        output_failed = 1;
        perror("standard output");
    }
}

static void childSignalHandler(int sig)
{
    const int saved_errno = errno;
    if (sig == SIGHUP) {
        narrate("Child: Received SIGHUP signal from parent");
    } else if (sig == SIGINT) {
        narrate("Child: Received SIGINT signal from parent");
    } else if (sig == SIGQUIT) {
        narrate("child: My DADDY has killed me !!!");
        exit(output_failed != 0 ? EXIT_FAILURE : EXIT_SUCCESS);
    }
    errno = saved_errno;
}

// Writes how the child ended, as waitpid() gave it, and makes sure the line got out.
static int report(int status)
{
    if (WIFEXITED(status)) {
        printf("Parent: child exited with status %d\n", WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        printf("Parent: child was killed by signal %d\n", WTERMSIG(status));
    }
    if (fflush(stdout) == EOF) {
        perror("standard output");
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
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
    // Ignored, SIGCHLD would make the kernel reap the child itself: waitpid() would then
    // wait for nothing and fail with ECHILD.
    signal(SIGCHLD, SIG_DFL);

    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        exit(EXIT_FAILURE);
    }
    if (child == 0) {
        setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
        struct sigaction action = {};
        action.sa_handler = childSignalHandler;
        action.sa_mask = demo_signals;
        sigaction(SIGHUP, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGQUIT, &action, nullptr);
        sigprocmask(SIG_UNBLOCK, &demo_signals, nullptr);
        for (;;) {
            sleep(1);
        }
    }
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);

    int status = 0;
    for (int cycle = 0; cycle < CYCLES; ++cycle) {
        sleep(INTERVAL_SECONDS);
        if (waitpid(child, &status, WNOHANG) == child) {
            return report(status); // reaped: its pid is no longer ours to signal
        }
        const bool last_cycle = cycle == CYCLES - 1;
        kill(child, cycle <= LAST_HUP_CYCLE && !last_cycle ? SIGHUP : SIGQUIT);
    }
    pid_t ended = 0;
    while ((ended = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    if (ended < 0) {
        perror("waitpid");
        return EXIT_FAILURE;
    }
    return report(status);
}
