// The lab's three write-it-yourself tasks (lab/README.md, part 5), each held to what its
// statement asks: under ctest the reference solutions in lab/solutions, under check/run a
// learner's program. kill_flag and kill_wait are also held to the signal demonstration's
// expectations that their statements keep (signals_test.cpp, terminal_test.cpp).
#include "harness.hpp"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

using namespace harness;

namespace {
const char *const task_readme = "lab/README.md, part 5";
const std::string hup = "Child: Received SIGHUP signal from parent\n";
const std::string quit = "child: My DADDY has killed me !!!\n";

std::string seconds(double s)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

// The processes this test still has below it: the orphans it adopted and did not reap.
std::string unreaped()
{
    return read_file("/proc/thread-self/children");
}
} // namespace

EXPECTATION(ProcessTest, KillWaitReportsTheChildsExitAndLeavesNothingToReap,
            {"kill_wait",
             "Run alone, the child's four SIGHUP lines and its SIGQUIT line come a second "
             "apart, then the parent's \"Parent: child exited with status 0\"; the parent ends "
             "with status 0 after about 5 s, having reaped its child: nothing is left for "
             "anyone else to reap",
             task_readme, "lab-kill_wait-waits-only-at-the-end"})
TEST_F(ProcessTest, KillWaitReportsTheChildsExitAndLeavesNothingToReap)
{
    const double start = now();
    const Process p = spawn({program("kill_wait")});
    const std::string out = read_all(p.out, program_time);
    const double took = now() - start;
    EXPECT_BYTES("standard output", out,
                 hup + hup + hup + hup + quit + "Parent: child exited with status 0\n");
    EXPECT_ENDS("the parent", wait_for(p.pid, 5), exited(0));
    EXPECT_HOLDS(took > 4.9 && took < 7)
        << "expected the run to take about 5 s; it took " << seconds(took);
    EXPECT_BYTES("the processes left for someone else to reap (their pids)", unreaped(), "");
    EXPECT_BYTES("standard error", read_all(p.err, 5), "");
}

// A child that dies early must be reaped at the parent's next cycle, and then signalled no
// more: its pid is free for any new process.
EXPECTATION(ProcessTest, KillWaitStopsAtTheNextCycleOnceTheChildHasEnded,
            {"kill_wait",
             "A child ended by SIGTERM 1.5 s after the start is reaped at the parent's next "
             "cycle: the parent writes \"Parent: child was killed by signal 15\", sends "
             "nothing more (the pid is free for any new process) and ends with status 0, "
             "within about a second of the child",
             task_readme, "lab-kill_wait-waits-only-at-the-end"})
TEST_F(ProcessTest, KillWaitStopsAtTheNextCycleOnceTheChildHasEnded)
{
    const double start = now();
    const Process p = spawn({program("kill_wait")});
    const pid_t child = find_child(p.pid, 2);
    usleep(1500000);
    send(child, SIGTERM);
    const std::string out = read_all(p.out, program_time);
    const double took = now() - start;
    EXPECT_BYTES("standard output", out, hup + "Parent: child was killed by signal 15\n");
    EXPECT_ENDS("the parent", wait_for(p.pid, 5), exited(0));
    EXPECT_HOLDS(took < 2.8) << "expected the parent to end at its next cycle, 2 s after the "
                                "start; it ended after "
                             << seconds(took);
    EXPECT_BYTES("the processes left for someone else to reap (their pids)", unreaped(), "");
}

// Seen from the kernel: a handler runs between the signal's delivery and its
// rt_sigreturn(); a line written there comes from the handler.
EXPECTATION(ProcessTest, KillFlagWritesEveryLineAfterTheHandlerHasReturned,
            {"kill_flag",
             "Seen from the kernel (strace), every line is written after the signal handler "
             "has returned (rt_sigreturn): the handler only records the signal, and the main "
             "loop writes",
             task_readme, "lab-kill_flag-writes-in-the-handler"})
TEST_F(ProcessTest, KillFlagWritesEveryLineAfterTheHandlerHasReturned)
{
    namespace fs = std::filesystem;
    const std::string strace = "/usr/bin/strace";
    if (!fs::exists(strace)) {
        NOT_CHECKED("strace is not installed (Debian package strace)");
    }
    const std::string trace = temp_dir() + "/trace";
    const Result r = run({strace, "-f", "-qq", "-o", trace, "-e", "trace=write,rt_sigreturn", "-e",
                          "signal=HUP,INT,QUIT", program("kill_flag")},
                         {}, program_time);
    const std::string log = read_file(trace);
    if (!exited_with(r.status, 0) && log.empty()) {
        NOT_CHECKED("strace cannot trace here: " + r.err);
    }
    // Per process: how deep in handlers it is now.
    std::map<std::string, int> depth;
    std::istringstream lines(log);
    std::string line;
    std::string inside;
    int written = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string pid;
        std::string event;
        fields >> pid >> event;
        if (event == "---") {
            ++depth[pid];
        } else if (event.rfind("rt_sigreturn(", 0) == 0) {
            depth[pid] = std::max(0, depth[pid] - 1);
        } else if (event.rfind("write(1,", 0) == 0) {
            ++written;
            if (depth[pid] > 0) {
                inside += "  " + line + "\n";
            }
        }
    }
    EXPECT_HOLDS(written >= 5) << "expected the child's five lines written to standard output; "
                                  "strace saw "
                               << written << " writes";
    EXPECT_BYTES("the writes made inside a signal handler, as strace saw them", inside, "");
}

EXPECTATION(ProcessTest, FarewellLostLosesTheGreetingButNotItsOwnLine,
            {"farewell_lost",
             "\"Program is exiting...\" through a pipe and into a file alike, then no \"File "
             "closed.\": the program ends without the exit sequence (by _exit or a signal), "
             "so output.txt exists and is empty, the greeting lost in the stream's buffer",
             task_readme, "lab-farewell_lost-no-flush"})
TEST_F(ProcessTest, FarewellLostLosesTheGreetingButNotItsOwnLine)
{
    for (const bool into_file : {false, true}) {
        const std::string way = into_file ? "into a file" : "through a pipe";
        const std::string dir = make_temp_dir();
        Options options;
        options.cwd = dir;
        if (into_file) {
            options.stdout_path = temp_dir() + "/stdout";
        }
        const Result r = run({program("farewell_lost")}, options, program_time);
        const std::string out = into_file ? read_file(options.stdout_path) : r.out;
        EXPECT_BYTES(way + ", standard output", out, "Program is exiting...\n");
        EXPECT_BYTES(way + ", standard error", r.err, "");
        EXPECT_HOLDS(exited_with(r.status, 0) || WIFSIGNALED(r.status))
            << way << ": expected the program to end by _exit(0) or by a signal; it "
            << status_in_words(r.status);
        EXPECT_HOLDS(std::filesystem::exists(dir + "/output.txt"))
            << way << ": expected output.txt to exist (fopen() made it); it does not";
        EXPECT_BYTES(way + ", output.txt", read_file(dir + "/output.txt"), "");
        std::filesystem::remove_all(dir);
    }
}
