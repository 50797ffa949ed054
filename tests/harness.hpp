// Runs the demonstrations as real processes and watches them: pipes, timestamps, exit
// statuses, signals. Every test process adopts the orphans of its demonstrations
// (PR_SET_CHILD_SUBREAPER) so it can read their statuses, and kills whatever is left of
// them when the test ends, passed or failed.
//
// The same tests hold a learner's program to the same contract, under check/run:
//   DEMO_CHECK=NAME           the demonstration checked: kill_a kill_b kill_c leakdemo farewell
//   DEMO_CHECK_PROGRAM=PATH   the program that stands for it
//   DEMO_CHECK_LIST=1         only list the expectations that concern NAME, running none
// Then only the tests that an EXPECTATION describes as concerning NAME run, against PATH,
// and each records its plain words for check/run to show (--gtest_output=json).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

struct Options {
    std::string cwd;               // empty: the test's own
    std::vector<std::string> env;  // NAME=value added to the environment
    std::string stdout_path;       // stdout into this file instead of a pipe
    bool closed_stdout = false;    // no stdout at all, as `>&-` leaves it
    std::vector<int> ignored;      // signals left ignored across exec, as some launchers do
    bool unprivileged = false;     // as root, drop to uid and gid 65534
    bool no_new_processes = false; // RLIMIT_NPROC of 0, so fork() fails
    bool own_group = false;        // a process group of its own, as a shell's job has
    bool terminal = false;         // stdout on a pseudo-terminal, whose other end is out
    bool stopped_terminal = false; // that terminal's output stopped, as Ctrl-S does, until
                                   // resume_terminal(): a write to it waits
};

struct Process {
    pid_t pid = -1;
    int out = -1; // read ends of the pipes; -1 when not a pipe
    int err = -1;
};

struct Result {
    std::string out;
    std::string err;
    int status = -1; // as waitpid() reports it
};

struct Line {
    double at = 0; // seconds since the process started
    std::string text;
};

// The program that a test runs for a demonstration: this build's own, or under check/run
// the one given for the demonstration it checks.
std::string program(const std::string &name);
// The demonstration check/run checks; empty when the suite holds this build's programs,
// which may also be held to names inside their code.
const std::string &checked();
inline bool own_build()
{
    return checked().empty();
}

// One test's expectation as check/run shows it: what a user sees when it holds.
struct Expectation {
    const char *programs = "";    // the demonstrations it concerns, separated by blanks
    const char *words = "";       // what holds, in plain words
    const char *readme = "";      // where to read of it: a guide and its section
    const char *experiments = ""; // the experiments that show the same mistake, or ""
    // The tasks it defines, separated by blanks: what tells a solution from the unchanged
    // demonstration. Where it cannot be checked, check/run says the task cannot be graded.
    const char *defining = "";
};
bool describe(const char *test, const Expectation &expectation);
// Put before the test it describes: EXPECTATION(Suite, Name, {"kill_a", "...", "...", ""}).
#define EXPECTATION(suite, name, ...)                                                              \
    namespace {                                                                                    \
    [[maybe_unused]] const bool suite##_##name##_described =                                       \
        ::harness::describe(#suite "." #name, __VA_ARGS__);                                        \
    }

// Ends the test as one that could not be tried on this program, and says why.
#define NOT_CHECKED(reason)                                                                        \
    do {                                                                                           \
        ::testing::Test::RecordProperty("not_checked", reason);                                    \
        GTEST_SKIP() << (reason);                                                                  \
    } while (false)

// Failures in plain words, saying what was expected and what was seen: check/run shows
// them to a learner as they are.
//   EXPECT_BYTES("standard error", r.err, "fork: ...\n");
//   EXPECT_ENDS("the child", status, exited(0));   // or killed_by(SIGTERM)
//   EXPECT_HOLDS(alive(child)) << "the child ended after SIGINT";
::testing::AssertionResult same_bytes(const char * /*what_text*/, const char * /*seen_text*/,
                                      const char * /*expected_text*/, const std::string &what,
                                      const std::string &seen, const std::string &expected);
::testing::AssertionResult ends_as(const char * /*who_text*/, const char * /*status_text*/,
                                   const char * /*expected_text*/, const std::string &who,
                                   int status, int expected);
#define EXPECT_BYTES(what, seen, expected)                                                         \
    EXPECT_PRED_FORMAT3(::harness::same_bytes, what, seen, expected)
#define EXPECT_ENDS(who, status, expected)                                                         \
    EXPECT_PRED_FORMAT3(::harness::ends_as, who, status, expected)
#define EXPECT_HOLDS(condition)                                                                    \
    if (condition) {                                                                               \
    } else                                                                                         \
        ADD_FAILURE()
constexpr int exited(int code)
{
    return code << 8; // as waitpid() reports it
}
constexpr int killed_by(int sig)
{
    return sig;
}
std::string status_in_words(int status);
// Text as a learner reads it: each line on its own, indented, with what cannot be seen
// (a missing last newline, control bytes) said.
std::string shown(const std::string &text);

// In a child before exec: every signal's action the default, and none blocked.
void all_signals_default();
double now();
bool exited_with(int status, int code);
Process spawn(const std::vector<std::string> &argv, const Options &options = {});
// Runs to the end, or fails the test when it takes more than timeout seconds.
Result run(const std::vector<std::string> &argv, const Options &options = {}, double timeout = 120);
// Seconds a demonstration that needs nothing from the test may take to end: a program
// under check/run that never ends then costs no more.
constexpr double program_time = 30;
// What a test keeps of one output: more is read and dropped, and said to be cut, so that a
// program that writes without end cannot fill the memory.
constexpr size_t kept_output = 4 << 20;
// Lines until end of file; fails the test if that takes longer than timeout seconds.
std::vector<Line> read_lines(int fd, double start, double timeout);
// Everything until end of file; fails the test if that takes longer than timeout seconds.
std::string read_all(int fd, double timeout = 30);
// waitpid() with a deadline; fails the test and returns -1 when it passes.
int wait_for(pid_t pid, double timeout);
pid_t find_child(pid_t parent, double timeout);
// The child a kill program forked for itself: a process with its executable and command
// line that blocks or handles SIGHUP, SIGINT and SIGQUIT, there for 50 ms. A program reached
// through a wrapper (a shell script, a version manager's shim) has other children first, which
// differ from it or which it leaves behind when it execs; a test fails, saying what to do, when
// none is found in time. Given the program's own path, a compiled program's child is known
// by its executable and command line alone.
pid_t program_child(pid_t parent, double timeout, const std::string &path = "");
// Empty when the process slept while it waited, through a run of `seconds`; else what
// it did instead, in words. Read before it is reaped (a zombie's counts stay until then).
std::string busy_waiting(pid_t pid, double seconds);
// kill() for one process found by spawn() or find_child(): their -1 for a process that
// could not be made or found fails the test instead of signalling every process allowed.
void send(pid_t pid, int sig);
// The fields of /proc/<pid>/stat after the command name ("S 1 42 ...": state, parent,
// process group...); empty when the process is gone.
std::string stat_fields(pid_t pid);
// The state letter: 'S' sleeping, 'Z' zombie...; '\0' when gone.
char state(pid_t pid);
bool alive(pid_t pid);
std::string make_temp_dir();
std::string copy_into(const std::string &executable, const std::string &dir);
std::string read_file(const std::string &path); // empty when it cannot be read
bool exists(const std::string &path);
// Lets a stopped terminal (Options::stopped_terminal) write again.
void resume_terminal(int out);
// As root, whether a process can become the unprivileged user 65534 here (an ordinary
// user needs not: limits and permissions hold for it as they are).
bool can_drop_privileges();
// The system call a process is blocked in, as /proc/<pid>/syscall shows it: its number
// and first argument ("1 0x1": write() to standard output); empty when it runs or is gone.
std::string blocked_in(pid_t pid);
void write_file(const std::string &path, const std::string &content);

class ProcessTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string temp_dir(); // made on first use, removed at the end
  private:
    std::string dir_;
};

} // namespace harness
