#include "harness.hpp"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>

using namespace harness;

namespace {
const std::string hup = "Child: Received SIGHUP signal from parent";
const std::string intr = "Child: Received SIGINT signal from parent";
const std::string quit = "child: My DADDY has killed me !!!";

struct Schedule {
    const char *name;
    const char *path;
    int cycles;
    int interval;
};

class NaturalRun : public ProcessTest, public ::testing::WithParamInterface<Schedule> {};

// Tests that signal the child from outside first kill its parent: the child, orphaned and
// adopted by this process, then hears nothing but the test's own signals.
class OutsideSignals : public ProcessTest {
  protected:
    Process start_lone_child(const Options &options = {})
    {
        Process p = spawn({KILL_B}, options);
        child = find_child(p.pid, 2);
        kill(p.pid, SIGKILL);
        wait_for(p.pid, 5);
        return p;
    }
    // One line, within a second.
    static std::string next_line(int fd)
    {
        std::string line;
        const double deadline = now() + 1;
        char c = 0;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, std::max(0, static_cast<int>((deadline - now()) * 1000))) == 1 &&
               read(fd, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }
    pid_t child = -1;
};

// The write() calls a process has made so far, from /proc/<pid>/io.
long writes_of(pid_t pid)
{
    const std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
    const auto at = io.find("syscw: ");
    return at == std::string::npos ? -1 : std::stol(io.substr(at + 7));
}

struct LostOutput {
    const char *name;
    const char *stdout_path; // empty: stdout closed
    const char *reason;
    bool counted; // the kernel counts a failed write in syscw, but not one to a closed fd
};

class UnwritableOutput : public OutsideSignals, public ::testing::WithParamInterface<LostOutput> {};

const unsigned long all_three = 1ul << (SIGHUP - 1) | 1ul << (SIGINT - 1) | 1ul << (SIGQUIT - 1);

// The SigBlk mask of /proc/<pid>/status (bit n - 1 for signal n), once it holds all three
// or the timeout has passed.
unsigned long blocked_signals(pid_t pid, double timeout)
{
    const double deadline = now() + timeout;
    unsigned long mask = 0;
    do {
        std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
        std::string key;
        std::string value;
        while (in >> key >> std::ws && std::getline(in, value)) {
            if (key == "SigBlk:") {
                mask = std::stoul(value, nullptr, 16);
            }
        }
        if ((mask & all_three) == all_three) {
            break;
        }
        usleep(10000);
    } while (now() < deadline);
    return mask;
}
} // namespace

// Four, seven and six SIGHUP lines, then the SIGQUIT line in the last cycle: each at its
// cycle although stdout is a pipe, the parent done after the last cycle, and the child,
// which the parent never reaps, ending with status 0.
TEST_P(NaturalRun, NarratesEveryCycleAndBothProcessesEndWithStatusZero)
{
    const Schedule s = GetParam();
    const double start = now();
    const Process p = spawn({s.path});
    const pid_t child = find_child(p.pid, 2);
    const auto lines = read_lines(p.out, start, s.cycles * s.interval + 10);

    ASSERT_EQ(lines.size(), static_cast<size_t>(s.cycles));
    for (int i = 0; i < s.cycles; ++i) {
        const double due = (i + 1) * s.interval;
        EXPECT_EQ(lines[static_cast<size_t>(i)].text, i + 1 < s.cycles ? hup : quit) << i;
        EXPECT_GT(lines[static_cast<size_t>(i)].at, due - 0.05) << i;
        EXPECT_LT(lines[static_cast<size_t>(i)].at, due + 1.0) << i;
    }
    const int parent_status = wait_for(p.pid, 5);
    EXPECT_LT(now() - start, s.cycles * s.interval + 2.0);
    EXPECT_TRUE(WIFEXITED(parent_status) && WEXITSTATUS(parent_status) == 0) << parent_status;
    const int child_status = wait_for(child, 5);
    EXPECT_TRUE(WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0) << child_status;
    // Both have ended, so standard error is at its end: a child left running (no SIGQUIT
    // came) holds it open, and fails the test in 1 s rather than 30.
    EXPECT_EQ(read_all(p.err, 1), "");
}

INSTANTIATE_TEST_SUITE_P(Executables, NaturalRun,
                         ::testing::Values(Schedule{"kill_a", KILL_A, 5, 1},
                                           Schedule{"kill_b", KILL_B, 8, 3},
                                           Schedule{"kill_c", KILL_C, 7, 1}),
                         [](const ::testing::TestParamInfo<Schedule> &param) {
                             return std::string(param.param.name);
                         });

TEST_F(OutsideSignals, InterruptAndHangupAreNarratedAndQuitEndsWithStatusZero)
{
    const Process p = start_lone_child();
    for (const int sig : {SIGINT, SIGHUP, SIGINT}) {
        kill(child, sig);
        EXPECT_EQ(next_line(p.out), sig == SIGINT ? intr : hup);
        EXPECT_TRUE(alive(child));
    }
    kill(child, SIGQUIT);
    EXPECT_EQ(read_all(p.out), quit + "\n");
    const int status = wait_for(child, 5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(OutsideSignals, TerminationLosesNoEarlierLine)
{
    const Process p = start_lone_child();
    kill(child, SIGHUP);
    EXPECT_EQ(next_line(p.out), hup);
    kill(child, SIGTERM);
    EXPECT_EQ(read_all(p.out), "");
    const int status = wait_for(child, 5);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// Signals coalesce while pending, so fewer lines than signals is right; a torn, mixed or
// doubled line, a dead child or a lost SIGQUIT is not.
TEST_F(OutsideSignals, BurstGivesOnlyWholeLinesAndTheChildLivesOn)
{
    const Process p = start_lone_child();
    // Until its handler is in place the child holds all three back, whatever the handler's
    // mask: a line first, so that the mask seen below is the handler's.
    kill(child, SIGHUP);
    ASSERT_EQ(next_line(p.out), hup);
    // A small pipe, left unread, keeps the child blocked inside its writes: the place
    // where a handler that could be interrupted would tear or repeat its lines.
    // Signals go on until the pipe is full, however slowly the child takes them.
    fcntl(p.out, F_SETPIPE_SZ, 4096);
    unsigned long held = 0;
    const double deadline = now() + 10;
    for (int i = 0; (held & all_three) != all_three && now() < deadline; ++i) {
        kill(child, i % 2 == 0 ? SIGHUP : SIGINT);
        if (i % 100 == 99) {
            held = blocked_signals(child, 0);
        }
    }
    // Stuck in a handler's write, the child must hold back all three signals, not only
    // the one it is handling: otherwise another handler could run inside that write.
    EXPECT_EQ(held & all_three, all_three) << std::hex << held;
    EXPECT_TRUE(alive(child));
    kill(child, SIGQUIT);
    const auto lines = read_lines(p.out, now(), 30);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().text, quit);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        ASSERT_TRUE(lines[i].text == hup || lines[i].text == intr) << i << ": " << lines[i].text;
    }
    const int status = wait_for(child, 5);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A signal that reaches the child before its handler is installed must wait for the
// handler, not kill the child. A preloaded library holds the forked child back 300 ms
// before its first sigaction(), and the SIGHUP comes in that time.
TEST_F(OutsideSignals, ASignalBeforeTheHandlerWaitsForItInsteadOfKillingTheChild)
{
    Options options;
    options.env = {std::string("LD_PRELOAD=") + DELAY_CHILD_HANDLERS_LIBRARY,
                   "ASAN_OPTIONS=verify_asan_link_order=0"};
    const Process p = start_lone_child(options);
    kill(child, SIGHUP);
    EXPECT_EQ(next_line(p.out), hup);
    kill(child, SIGQUIT);
    const int status = wait_for(child, 5);
    EXPECT_TRUE(exited_with(status, 0)) << status;
}

// A line lost is reported once, every later line is still tried, and the child's status
// says so; the parent is not concerned.
TEST_P(UnwritableOutput, IsReportedOnceAndTheChildExitsWithStatusOne)
{
    Options options;
    options.stdout_path = GetParam().stdout_path;
    options.closed_stdout = options.stdout_path.empty();
    const Process p = start_lone_child(options);
    for (const int sig : {SIGHUP, SIGINT, SIGHUP}) {
        const long before = writes_of(child);
        kill(child, sig);
        const double deadline = now() + (GetParam().counted ? 1 : 0.1);
        while (writes_of(child) == before && now() < deadline) {
            usleep(1000);
        }
        EXPECT_TRUE(writes_of(child) > before || !GetParam().counted) << "no write for " << sig;
    }
    kill(child, SIGQUIT);
    EXPECT_TRUE(exited_with(wait_for(child, 5), 1));
    EXPECT_EQ(read_all(p.err), std::string("standard output: ") + GetParam().reason + "\n");
}

INSTANTIATE_TEST_SUITE_P(Child, UnwritableOutput,
                         ::testing::Values(LostOutput{"Full", "/dev/full",
                                                      "No space left on device", true},
                                           LostOutput{"Closed", "", "Bad file descriptor", false}),
                         [](const ::testing::TestParamInfo<LostOutput> &param) {
                             return std::string(param.param.name);
                         });

// A launcher may hand the program SIGCHLD ignored, which would let the kernel reap a child
// that dies early and give its pid to a stranger for the parent's next kill(). The child
// must stay a zombie, holding its pid, until the parent ends.
TEST_F(ProcessTest, AChildDeadEarlyStaysAZombieEvenWhenSigchldWasIgnored)
{
    Options options;
    options.ignored = {SIGCHLD};
    const Process p = spawn({KILL_A}, options);
    const pid_t child = find_child(p.pid, 2);
    kill(child, SIGTERM);
    usleep(1500000); // past the parent's first send
    EXPECT_EQ(state(child), 'Z');
    EXPECT_TRUE(exited_with(wait_for(p.pid, 10), 0));
    // Orphaned when the parent ends, the zombie comes to this process, which reaps it.
    const int status = wait_for(child, 5);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

// As root the process limit is not enforced, so the run drops to an unprivileged user.
TEST_F(ProcessTest, FailedForkIsReportedWithStatusOne)
{
    const std::string dir = temp_dir();
    Options options;
    options.cwd = dir;
    options.unprivileged = true;
    options.no_new_processes = true;
    // In a sanitized build the leak check at exit needs a thread, which the limit forbids.
    options.env = {"ASAN_OPTIONS=detect_leaks=0"};
    const Result r = run({copy_into(KILL_A, dir)}, options);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "fork: Resource temporarily unavailable\n");
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 1) << r.status;
}
