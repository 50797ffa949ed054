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

// The processes this test still has below it, the orphans it adopted and did not reap, by
// name and state: a pid would mean nothing to the reader.
std::string unreaped()
{
    std::istringstream pids(read_file("/proc/thread-self/children"));
    std::string left;
    for (pid_t pid = 0; pids >> pid;) {
        std::string name = read_file("/proc/" + std::to_string(pid) + "/comm");
        if (const size_t end = name.find('\n'); end != std::string::npos) {
            name.resize(end);
        }
        left += name + (state(pid) == 'Z' ? ", ended and not reaped\n" : ", still running\n");
    }
    return left;
}

void sleep_until(double moment)
{
    while (now() < moment) {
        usleep(1000);
    }
}
} // namespace

EXPECTATION(ProcessTest, KillWaitReportsTheChildsExitAndLeavesNothingToReap,
            {"kill_wait",
             "Run alone, the child's four SIGHUP lines and its SIGQUIT line come a second "
             "apart, then the parent's \"Parent: child exited with status 0\"; the parent ends "
             "with status 0 after about 5 s, having reaped its child: nothing is left for "
             "anyone else to reap",
             task_readme, "", "kill_wait"})
TEST_F(ProcessTest, KillWaitReportsTheChildsExitAndLeavesNothingToReap)
{
    const double start = now();
    const Process p = spawn({program("kill_wait")});
    const std::string out = read_all(p.out, program_time);
    const double took = now() - start;
    EXPECT_BYTES("standard output (a pipe)", out,
                 hup + hup + hup + hup + quit + "Parent: child exited with status 0\n");
    usleep(100000);
    // A parent that asks waitpid() again and again without sleeping keeps a processor busy.
    const std::string busy = busy_waiting(p.pid, took);
    EXPECT_HOLDS(busy.empty()) << "the parent: expected it to sleep between its cycles; " << busy;
    EXPECT_ENDS("the parent", wait_for(p.pid, 5), exited(0));
    if (took < program_time) { // else read_all() has said that the output stayed open
        EXPECT_HOLDS(took > 4.9 && took < 7)
            << "expected the run to take about 5 s; it took " << seconds(took);
        EXPECT_BYTES("standard error (a pipe)", read_all(p.err, 5), "");
    }
    EXPECT_BYTES("the processes left for someone else to reap", unreaped(), "");
}

// The parent's last wait must wait: a child slow to end after the last SIGQUIT (held
// stopped from 4.5 s to 6 s) must still be reported, whatever the timing.
EXPECTATION(ProcessTest, KillWaitWaitsForAChildSlowToEnd,
            {"kill_wait",
             "A child slow to end (stopped by SIGSTOP from 4.5 s to 6 s, so that the last "
             "SIGQUIT waits for it) is still waited for: after its SIGQUIT line the parent "
             "writes \"Parent: child exited with status 0\" and ends with status 0",
             task_readme, ""})
TEST_F(ProcessTest, KillWaitWaitsForAChildSlowToEnd)
{
    const double start = now();
    const Process p = spawn({program("kill_wait")});
    const pid_t child = program_child(p.pid, 2);
    sleep_until(start + 4.5);
    send(child, SIGSTOP);
    sleep_until(start + 6);
    send(child, SIGCONT);
    EXPECT_BYTES("standard output (a pipe)", read_all(p.out, program_time),
                 hup + hup + hup + hup + quit + "Parent: child exited with status 0\n");
    EXPECT_ENDS("the parent", wait_for(p.pid, 5), exited(0));
}

// A child that dies early must be reaped at the parent's next cycle, and then signalled no
// more: its pid is free for any new process.
EXPECTATION(ProcessTest, KillWaitStopsAtTheNextCycleOnceTheChildHasEnded,
            {"kill_wait",
             "A child ended by SIGTERM 1.5 s after the start is reaped at the parent's next "
             "cycle: the parent writes \"Parent: child was killed by signal 15\", sends "
             "nothing more (the pid is free for any new process) and ends with status 0, "
             "within about a second of the child",
             task_readme, ""})
TEST_F(ProcessTest, KillWaitStopsAtTheNextCycleOnceTheChildHasEnded)
{
    const double start = now();
    const Process p = spawn({program("kill_wait")});
    const pid_t child = program_child(p.pid, 2);
    usleep(1500000);
    send(child, SIGTERM);
    const std::string out = read_all(p.out, program_time);
    const double took = now() - start;
    EXPECT_BYTES("standard output (a pipe)", out, hup + "Parent: child was killed by signal 15\n");
    EXPECT_ENDS("the parent", wait_for(p.pid, 5), exited(0));
    EXPECT_HOLDS(took < 2.8 || took >= program_time) // else read_all() has said why
        << "expected the parent to end at its next cycle, 2 s after the start; it ended "
           "after "
        << seconds(took);
    EXPECT_BYTES("the processes left for someone else to reap", unreaped(), "");
}

// Seen from the kernel: a handler runs between the signal's delivery and its
// rt_sigreturn(); a line written there comes from the handler.
EXPECTATION(ProcessTest, KillFlagWritesEveryLineAfterTheHandlerHasReturned,
            {"kill_flag",
             "Seen from the kernel (strace), every line is written after the signal handler "
             "has returned (rt_sigreturn): the handler only records the signal, and the main "
             "loop writes",
             task_readme, "", "kill_flag"})
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
                               << written << (written == 1 ? " write" : " writes");
    EXPECT_BYTES("the writes made inside a signal handler, as strace saw them", inside, "");
}

// The lost wakeup, made certain: a handler that runs between the test of the flags and
// pause() leaves the process asleep with a line owed (tests/preload/race_before_wait.cpp).
EXPECTATION(ProcessTest, KillFlagLosesNoSignalThatComesJustBeforeItSleeps,
            {"kill_flag",
             "A signal that comes after the main loop has tested its flags and before it "
             "sleeps is not lost: with pause() or sigsuspend() held back until a handler has "
             "run, whenever the signals were not blocked at the call, all five lines still "
             "come, through a pipe",
             task_readme, ""})
TEST_F(ProcessTest, KillFlagLosesNoSignalThatComesJustBeforeItSleeps)
{
    const std::string mark = temp_dir() + "/loaded";
    Options options;
    options.env = {std::string("LD_PRELOAD=") + RACE_BEFORE_WAIT_LIBRARY,
                   "RACE_BEFORE_WAIT_MARK=" + mark, "ASAN_OPTIONS=verify_asan_link_order=0"};
    const Process p = spawn({program("kill_flag")}, options);
    const pid_t child = program_child(p.pid, 2);
    wait_for(p.pid, program_time);
    const double deadline = now() + 1;
    while (alive(child) && now() < deadline) {
        usleep(10000);
    }
    const bool asleep = alive(child);
    if (asleep) {
        send(child, SIGKILL);
    }
    const std::string out = read_all(p.out, 2);
    if (!exists(mark)) {
        NOT_CHECKED("the library that holds pause() and sigsuspend() back did not reach the "
                    "program: it is statically linked");
    }
    EXPECT_BYTES("standard output (a pipe)", out, hup + hup + hup + hup + quit);
    EXPECT_HOLDS(!asleep) << "the child still slept a second after the parent's last signal: "
                             "a signal that came between its test of the flags and its sleep "
                             "was lost";
}

// A parent's handler may interrupt its own printf() or malloc(): it must only record
// (tests/preload/record_handler_calls.cpp sees every call, harmful on this run or not).
EXPECTATION(ProcessTest, KillWaitCallsNoStdioOrMallocInASigchldHandler,
            {"kill_wait",
             "If the parent handles SIGCHLD, its handler only records that it came: it calls "
             "no stdio output function and no malloc, free or new",
             task_readme, ""})
TEST_F(ProcessTest, KillWaitCallsNoStdioOrMallocInASigchldHandler)
{
    const std::string record = temp_dir() + "/calls";
    Options options;
    options.env = {std::string("LD_PRELOAD=") + RECORD_HANDLER_CALLS_LIBRARY,
                   "RECORD_HANDLER_CALLS=" + record, "ASAN_OPTIONS=verify_asan_link_order=0"};
    const Process p = spawn({program("kill_wait")}, options);
    read_all(p.out, program_time);
    wait_for(p.pid, 5);
    if (!exists(record)) {
        NOT_CHECKED("the library that watches the SIGCHLD handler did not reach the program: "
                    "it is statically linked");
    }
    std::istringstream calls(read_file(record));
    std::string called;
    for (std::string name; std::getline(calls, name);) {
        if (called.find(name + "\n") == std::string::npos) {
            called += name + "\n";
        }
    }
    EXPECT_BYTES("the functions called inside the SIGCHLD handler", called, "");
}

EXPECTATION(ProcessTest, FarewellLostLosesTheGreetingButNotItsOwnLine,
            {"farewell_lost",
             "\"Program is exiting...\" through a pipe and into a file alike, then no \"File "
             "closed.\": the program ends without the exit sequence (by _exit or a signal), "
             "so output.txt exists and is empty, the greeting lost in the stream's buffer",
             task_readme, "", "farewell_lost"})
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
            << way << ": expected the program to end by _exit(0) or by a signal; seen "
            << status_in_words(r.status);
        EXPECT_HOLDS(std::filesystem::exists(dir + "/output.txt"))
            << way << ": expected output.txt to exist (fopen() made it); it does not";
        EXPECT_BYTES(way + ", output.txt", read_file(dir + "/output.txt"), "");
        std::filesystem::remove_all(dir);
    }
}
