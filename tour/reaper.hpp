// What a child subreaper does when it is interrupted: kill and reap every process below
// it, then end by the same signal. Shared by the tour's watch and the test harness, which
// both adopt the orphans of the demonstrations they run. Everything here is
// async-signal-safe (open, read, close, kill, waitpid, sigaction, sigprocmask, raise and
// plain arithmetic), because it runs inside a signal handler.
#pragma once

#include <csignal>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace reaper {

// The pids of this thread's children, zombies included, as the kernel lists them: at most
// max of them.
inline int list_children(pid_t *found, int max)
{
    const int fd = open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char text[4096];
    ssize_t length = 0;
    ssize_t n = 0;
    while (length < static_cast<ssize_t>(sizeof text) &&
           (n = read(fd, text + length, sizeof text - static_cast<size_t>(length))) > 0) {
        length += n;
    }
    close(fd);
    int count = 0;
    pid_t pid = 0;
    for (ssize_t i = 0; i < length && count < max; ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            pid = pid * 10 + (text[i] - '0');
        } else if (pid > 0) {
            found[count++] = pid;
            pid = 0;
        }
    }
    return count;
}

// Kills every process below this one and reaps it. A process whose parent dies comes to
// a subreaper as an orphan, so the round repeats until no child is left. A reaped child
// has fully exited, and by then its own children have already come to us.
inline void end_everything_below()
{
    for (;;) {
        pid_t children[512];
        const int count = list_children(children, 512);
        if (count == 0) {
            return;
        }
        for (int i = 0; i < count; ++i) {
            kill(children[i], SIGKILL);
        }
        for (int i = 0; i < count; ++i) {
            waitpid(children[i], nullptr, 0);
        }
    }
}

// A handler: ends everything below, then this process by the signal itself with its
// default action. That is the shell's convention for an interrupted command: the caller
// sees a command ended by SIGINT, say, and stops too, where an exit status would let a
// script go on with its next command.
inline void end_all_and_reraise(int sig)
{
    end_everything_below();
    signal(sig, SIG_DFL);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, sig);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    raise(sig);
}

// Installs handler for sig, with the interrupting signals and the alarm held back while
// it runs: one handler at a time.
inline void on_signal(int sig, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaddset(&action.sa_mask, SIGHUP);
    sigaddset(&action.sa_mask, SIGALRM);
    sigaction(sig, &action, nullptr);
}

} // namespace reaper
