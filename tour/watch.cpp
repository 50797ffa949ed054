// watch: runs a command and tells how every process it started ended, including any
// child that the command left behind as an orphan. As a child subreaper, this process
// adopts such orphans and so can wait for them and read their exit status, which nobody
// else would see. A process still running 10 seconds after the command has ended is
// killed, so the tour never leaves one behind.
//
// Interrupted (SIGINT from the terminal's key, SIGTERM, SIGHUP from a closing terminal),
// it kills and reaps everything below it, then ends by the same signal, so that the shell
// that started it knows it was interrupted and stops too.
//
// Usage: watch PROGRAM [ARGUMENT...]

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "reaper.hpp"

static double seconds_since(const timespec &start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

static void describe(pid_t pid, pid_t command, int status, double after)
{
    const char *who = pid == command ? "parent" : "child ";
    if (WIFEXITED(status)) {
        printf("  %s (pid %d) exited with status %d after %.1f s\n", who, pid, WEXITSTATUS(status),
               after);
    } else if (WIFSIGNALED(status)) {
        printf("  %s (pid %d) was ended by signal %s after %.1f s\n", who, pid,
               sigabbrev_np(WTERMSIG(status)), after);
    }
}

static void on_alarm(int /*signal*/) {}

int main(int argc, char *argv[])
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROGRAM [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        perror("prctl");
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = on_alarm; // no SA_RESTART: the alarm must interrupt waitpid()
    sigaction(SIGALRM, &action, nullptr);
    // exec() gives the command these back at their default actions.
    reaper::on_signal(SIGINT, reaper::end_all_and_reraise);
    reaper::on_signal(SIGTERM, reaper::end_all_and_reraise);
    reaper::on_signal(SIGHUP, reaper::end_all_and_reraise);

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    fflush(stdout);
    const pid_t command = fork();
    if (command < 0) {
        perror("fork");
        return 1;
    }
    if (command == 0) {
        execvp(argv[1], argv + 1);
        perror(argv[1]);
        _exit(127);
    }

    int command_status = 0;
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid > 0) {
            describe(pid, command, status, seconds_since(start));
            if (pid == command) {
                command_status = status;
                alarm(10);
            }
        } else if (errno == EINTR) { // the alarm, 10 s after the command ended
            pid_t children[512];
            const int count = reaper::list_children(children, 512);
            for (int i = 0; i < count; ++i) {
                printf("  pid %d still running: killing it\n", children[i]);
                kill(children[i], SIGKILL);
            }
            alarm(1); // their orphans, if any, come to us meanwhile
        } else {
            break; // ECHILD: nothing of the command is left
        }
    }
    return WIFEXITED(command_status) ? WEXITSTATUS(command_status) : 1;
}
