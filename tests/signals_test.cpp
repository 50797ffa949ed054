#include "harness.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <iomanip>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>

using namespace harness;

namespace {
const std::string hup = "Child: Received SIGHUP signal from parent";
const std::string intr = "Child: Received SIGINT signal from parent";
const std::string quit = "child: My DADDY has killed me !!!";
const char *const signals_readme = "signals/README.md, \"How it behaves, and why\"";

struct Schedule {
    std::string name;
    int cycles = 0;
    int interval = 0;
};
// The lab's kill_flag and kill_wait (lab/README.md, part 5) keep kill_a's schedule.
const Schedule schedules[] = {
    {"kill_a", 5, 1}, {"kill_b", 8, 3}, {"kill_c", 7, 1}, {"kill_flag", 5, 1}, {"kill_wait", 5, 1}};

// The schedule of the kill program a test runs: the one check/run checks, else this
// build's program of that name.
const Schedule &schedule_of(const std::string &own)
{
    const std::string &name = own_build() ? own : checked();
    const auto *const found = std::find_if(std::begin(schedules), std::end(schedules),
                                           [&](const Schedule &s) { return s.name == name; });
    return found != std::end(schedules) ? *found : schedules[0];
}

// Every schedule for this build's programs; under check/run the one of the program checked.
std::vector<Schedule> natural_runs()
{
    // kill_wait's parent has a line of its own: tasks_test.cpp holds its natural run.
    std::vector<Schedule> runs;
    std::copy_if(std::begin(schedules), std::end(schedules) - 1, std::back_inserter(runs),
                 [](const Schedule &s) { return !program(s.name).empty(); });
    if (!own_build() && checked().rfind("kill_", 0) == 0) {
        runs = {schedule_of(checked())};
    }
    return runs;
}

void PrintTo(const Schedule &s, std::ostream *os)
{
    *os << s.name;
}

class NaturalRun : public ProcessTest, public ::testing::WithParamInterface<Schedule> {};

// One run of a kill program, its standard output through a pipe, into a file or at a
// terminal, and the lines that came there, timed from its start.
struct Watched {
    std::string way;
    Process p;
    pid_t child = -1;
    int file = -1; // stdout into a file, read through this descriptor as it grows
    std::string partial;
    std::vector<Line> lines;
    std::string err;
    double ended = -1; // seconds from the start until standard error closed: all ended
};

// Reads what each run writes, all at once, until every run has ended or the deadline has
// passed: a file gives no end of file, so its run is over when standard error closes.
void watch(std::vector<Watched> &runs, double start, double deadline)
{
    for (;;) {
        std::vector<pollfd> fds;
        for (const Watched &w : runs) {
            for (const int fd : {w.p.out, w.p.err}) {
                if (fd >= 0) {
                    fds.push_back({fd, POLLIN, 0});
                }
            }
        }
        if (fds.empty() || now() > deadline) {
            return;
        }
        poll(fds.data(), fds.size(), 10);
        const double at = now() - start;
        for (Watched &w : runs) {
            for (int *fd : {&w.p.out, &w.p.err}) {
                pollfd ready{*fd, POLLIN, 0};
                char buffer[4096];
                if (*fd < 0 || poll(&ready, 1, 0) != 1) {
                    continue;
                }
                const ssize_t n = read(*fd, buffer, sizeof buffer);
                if (n > 0) {
                    (fd == &w.p.out ? w.partial : w.err).append(buffer, static_cast<size_t>(n));
                } else {
                    close(*fd);
                    *fd = -1;
                    w.ended = fd == &w.p.err ? at : w.ended;
                }
            }
            char buffer[4096];
            for (ssize_t n = 1; w.file >= 0 && n > 0;) {
                n = read(w.file, buffer, sizeof buffer);
                w.partial.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            }
            for (size_t end; (end = w.partial.find('\n')) != std::string::npos;) {
                w.lines.push_back({at, w.partial.substr(0, end)});
                w.partial.erase(0, end + 1);
            }
        }
    }
}

// Empty when the lines came as the schedule says, else what was expected and seen.
std::string against_schedule(const Schedule &s, const Watched &w)
{
    std::ostringstream expected;
    std::ostringstream seen;
    bool holds = w.lines.size() == static_cast<size_t>(s.cycles) && w.partial.empty();
    for (int i = 0; i < s.cycles; ++i) {
        const double due = (i + 1) * s.interval;
        const std::string &line = i + 1 < s.cycles ? hup : quit;
        expected << std::setw(8) << due << " s    " << line << "\n";
        if (static_cast<size_t>(i) < w.lines.size()) {
            const Line &l = w.lines[static_cast<size_t>(i)];
            holds = holds && l.text == line && l.at > due - 0.05 && l.at < due + 1.0;
        }
    }
    for (const Line &l : w.lines) {
        seen << std::setw(8) << std::fixed << std::setprecision(2) << l.at << " s  " << l.text
             << "\n";
    }
    if (!w.partial.empty()) {
        seen << "    and, unfinished: " << w.partial << "\n";
    }
    if (holds) {
        return "";
    }
    return w.way + ": expected each line within a second after its time\n" + expected.str() +
           "  seen\n" + (w.lines.empty() && w.partial.empty() ? "    (nothing)\n" : seen.str());
}

// Tests that signal the child from outside first kill its parent: the child, orphaned and
// adopted by this process, then hears nothing but the test's own signals.
class OutsideSignals : public ProcessTest {
  protected:
    Process start_lone_child(const Options &options = {})
    {
        const std::string path = program(schedule_of("kill_b").name);
        Process p = spawn({path}, options);
        child = program_child(p.pid, 2, path);
        send(p.pid, SIGKILL);
        wait_for(p.pid, 5);
        return p;
    }
    // One line, within a second.
    // One line and its newline, or what came of it, within a second.
    static std::string next_line(int fd)
    {
        std::string line;
        const double deadline = now() + 1;
        char c = 0;
        pollfd p{fd, POLLIN, 0};
        while ((line.empty() || line.back() != '\n') &&
               poll(&p, 1, std::max(0, static_cast<int>((deadline - now()) * 1000))) == 1 &&
               read(fd, &c, 1) == 1) {
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
// cycle whether stdout is a pipe, a file or a terminal (three runs at once), the parent
// done after the last cycle, and the child, which the parent never reaps, ending with
// status 0. Both have ended when standard error closes: a child left running holds it.
EXPECTATION(NaturalRun, NarratesEveryCycleAndBothProcessesEndWithStatusZero,
            {"kill_a kill_b kill_c kill_flag",
             "Run alone, the child writes one line in each cycle at its time, SIGHUP lines "
             "and last the SIGQUIT line, through a pipe, into a file and at a terminal alike; "
             "then parent and child both end with status 0 and nothing is left running; "
             "neither keeps a processor busy while it waits",
             signals_readme, "no-line-buffering no-final-sigquit busy-child"})
TEST_P(NaturalRun, NarratesEveryCycleAndBothProcessesEndWithStatusZero)
{
    const Schedule &s = GetParam();
    const double start = now();
    std::vector<Watched> runs(3);
    runs[0].way = "through a pipe";
    runs[1].way = "into a file";
    runs[2].way = "at a terminal";
    // The file has no name once the program holds it open: a test interrupted before its
    // end (as the interrupt tests do to this one) leaves nothing in /tmp.
    char file[] = "/tmp/demo-test-stdout-XXXXXX";
    runs[1].file = mkstemp(file);
    ASSERT_GE(runs[1].file, 0);
    for (Watched &w : runs) {
        Options options;
        options.stdout_path = w.file >= 0 ? file : "";
        options.terminal = &w == &runs[2];
        w.p = spawn({program(s.name)}, options);
        w.child = program_child(w.p.pid, 2); // by then stdout is open: the file can go
        if (w.file >= 0) {
            unlink(file);
        }
    }
    watch(runs, start, start + s.cycles * s.interval + 5);
    close(runs[1].file);

    for (const Watched &w : runs) {
        const std::string differs = against_schedule(s, w);
        EXPECT_HOLDS(differs.empty()) << differs;
        EXPECT_HOLDS(w.ended >= 0 && w.ended < s.cycles * s.interval + 2.0)
            << w.way << ": expected both processes to end " << s.cycles * s.interval
            << " s after the start, at the last cycle; seen "
            << (w.ended < 0
                    ? "still running " + std::to_string(s.cycles * s.interval + 5) +
                          " s after the start (a process holds standard error open)"
                    : "the last end at " + std::to_string(std::lround(w.ended * 100) / 100) + "." +
                          std::to_string(std::lround(w.ended * 100) % 100) + " s");
        // One that waits by testing its flags in a loop, without sleeping, keeps a processor
        // busy all the run (and may lose a line under a flood).
        for (const auto &[who, pid] : {std::pair<const char *, pid_t>{"the parent", w.p.pid},
                                       std::pair<const char *, pid_t>{"the child", w.child}}) {
            const std::string busy = busy_waiting(pid, s.cycles * s.interval);
            EXPECT_HOLDS(busy.empty())
                << w.way << ", " << who << ": expected it to sleep while it waits; " << busy;
        }
        const int parent = wait_for(w.p.pid, 2);
        EXPECT_ENDS(w.way + ", the parent", parent, exited(0));
        if (parent != -1) { // else the child is not this process's to wait for
            EXPECT_ENDS(w.way + ", the child", wait_for(w.child, 2), exited(0));
        }
        EXPECT_BYTES(w.way + ", standard error", w.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Executables, NaturalRun, ::testing::ValuesIn(natural_runs()),
                         [](const ::testing::TestParamInfo<Schedule> &param) {
                             return param.param.name;
                         });

EXPECTATION(OutsideSignals, InterruptAndHangupAreNarratedAndQuitEndsWithStatusZero,
            {"kill_a kill_b kill_c kill_flag kill_wait",
             "SIGINT and SIGHUP from someone else each give their line at once, and the child "
             "runs on; SIGQUIT gives its line and the child ends with status 0",
             signals_readme, ""})
TEST_F(OutsideSignals, InterruptAndHangupAreNarratedAndQuitEndsWithStatusZero)
{
    const Process p = start_lone_child();
    for (const int sig : {SIGINT, SIGHUP, SIGINT}) {
        send(child, sig);
        const char *name = sig == SIGINT ? "SIGINT" : "SIGHUP";
        EXPECT_BYTES(std::string("within a second of a ") + name + ", standard output (a pipe)",
                     next_line(p.out), (sig == SIGINT ? intr : hup) + "\n");
        EXPECT_HOLDS(alive(child)) << "the child ended after a " << name;
    }
    send(child, SIGQUIT);
    EXPECT_BYTES("after SIGQUIT, standard output (a pipe)", read_all(p.out, 5), quit + "\n");
    EXPECT_ENDS("the child, after SIGQUIT", wait_for(child, 5), exited(0));
}

EXPECTATION(OutsideSignals, TerminationLosesNoEarlierLine,
            {"kill_a kill_b kill_c kill_flag kill_wait",
             "A line the child wrote before SIGTERM ended it is not lost: it left the child "
             "at once, into a pipe too",
             signals_readme, "no-line-buffering"})
TEST_F(OutsideSignals, TerminationLosesNoEarlierLine)
{
    const Process p = start_lone_child();
    send(child, SIGHUP);
    EXPECT_BYTES("within a second of a SIGHUP, standard output (a pipe)", next_line(p.out),
                 hup + "\n");
    send(child, SIGTERM);
    EXPECT_BYTES("after SIGTERM, standard output (a pipe)", read_all(p.out, 5), "");
    EXPECT_ENDS("the child, after SIGTERM", wait_for(child, 5), killed_by(SIGTERM));
}

// Signals coalesce while pending, so fewer lines than signals is right; a torn, mixed or
// doubled line, a report on standard error, a dead child or a lost SIGQUIT is not.
EXPECTATION(OutsideSignals, BurstGivesOnlyWholeLinesAndTheChildLivesOn,
            {"kill_a kill_b kill_c kill_flag kill_wait",
             "Under a flood of SIGHUP and SIGINT, while its output waits for a slow reader, "
             "the child writes only whole lines, reports nothing, lives on, and SIGQUIT "
             "still ends it with status 0 (fewer lines than signals is right: signals of one "
             "kind merge while pending)",
             signals_readme, "empty-handler-mask"})
TEST_F(OutsideSignals, BurstGivesOnlyWholeLinesAndTheChildLivesOn)
{
    const Process p = start_lone_child();
    // Until its handler is in place the child holds all three back, whatever the handler's
    // mask: a line first, so that the mask seen below is the handler's.
    // Not kill(): a program that made no child leaves -1 here, and kill(-1) as root signals
    // every process on the machine.
    send(child, SIGHUP);
    const std::string first = next_line(p.out);
    EXPECT_BYTES("within a second of a SIGHUP, standard output (a pipe)", first, hup + "\n");
    if (first != hup + "\n") {
        return;
    }
    // A small pipe, left unread, keeps the child blocked inside its writes: the place
    // where a handler that could be interrupted would tear or repeat its lines, or have
    // its write fail, interrupted. Signals go on until the pipe is full, however slowly
    // the child takes them: until the child holds all three signals back, as this build's
    // does while it writes in its handler, or (another program may do without) sits in a
    // write with a few thousand signals sent. Then the pipe is read until it stays empty,
    // and the child's stuck writes go on. A few rounds: a handler interrupted just before
    // its write shows nothing.
    fcntl(p.out, F_SETPIPE_SZ, 4096);
    const std::string stuck = std::to_string(SYS_write) + " 0x1";
    const double deadline = now() + 10;
    std::string seen;
    pollfd reported{p.err, POLLIN, 0};
    for (int round = 0; round < 5 && alive(child) && poll(&reported, 1, 0) == 0; ++round) {
        unsigned long held = 0;
        for (int i = 0; (held & all_three) != all_three && now() < deadline; ++i) {
            send(child, i % 2 == 0 ? SIGHUP : SIGINT);
            if (i % 100 == 99) {
                held = blocked_signals(child, 0);
                if (!own_build() && i > 3000 && blocked_in(child) == stuck) {
                    break;
                }
            }
        }
        // Stuck in a handler's write, this build's child must hold back all three
        // signals, not only the one it is handling: otherwise another handler could run
        // inside that write. (How another program keeps its handlers apart is its affair.)
        if (own_build()) {
            EXPECT_HOLDS((held & all_three) == all_three)
                << "stuck in a write, the child's blocked signals: " << std::hex << held;
        }
        pollfd readable{p.out, POLLIN, 0};
        char buffer[65536];
        for (ssize_t n = 1; n > 0 && poll(&readable, 1, 300) == 1;) {
            n = read(p.out, buffer, sizeof buffer);
            seen.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        }
    }
    EXPECT_HOLDS(alive(child)) << "the child ended during the flood";
    send(child, SIGQUIT);
    seen += read_all(p.out, 5);
    std::istringstream lines(seen);
    bool whole = !seen.empty() && seen.back() == '\n';
    std::string line;
    std::string last;
    while (std::getline(lines, line)) {
        whole = whole && (last.empty() || last == hup || last == intr);
        last = line;
    }
    whole = whole && last == quit;
    EXPECT_HOLDS(whole)
        << "standard output (a pipe): expected whole SIGHUP and SIGINT lines, then the "
           "SIGQUIT line\n  seen\n"
        << shown(seen.size() > 2000 ? "..." + seen.substr(seen.size() - 2000) : seen);
    EXPECT_ENDS("the child, after SIGQUIT", wait_for(child, 5), exited(0));
    EXPECT_BYTES("standard error (a pipe)", read_all(p.err, 5), "");
}

// A signal that reaches the child before its handler is installed must wait for the
// handler, not kill the child. A preloaded library holds the forked child back 300 ms
// before its first sigaction(), and the SIGHUP comes in that time.
EXPECTATION(OutsideSignals, ASignalBeforeTheHandlerWaitsForItInsteadOfKillingTheChild,
            {"kill_a kill_b kill_c kill_flag kill_wait",
             "A SIGHUP that reaches the child before it has installed its handler waits for "
             "the handler and gives its line, instead of killing the child",
             signals_readme, "no-block-across-fork"})
TEST_F(OutsideSignals, ASignalBeforeTheHandlerWaitsForItInsteadOfKillingTheChild)
{
    const std::string mark = temp_dir() + "/held back";
    Options options;
    options.env = {std::string("LD_PRELOAD=") + DELAY_CHILD_HANDLERS_LIBRARY,
                   "DELAY_CHILD_HANDLERS_MARK=" + mark, "ASAN_OPTIONS=verify_asan_link_order=0"};
    const Process p = start_lone_child(options);
    const double deadline = now() + 2;
    while (!exists(mark) && now() < deadline) {
        usleep(1000);
    }
    if (!exists(mark)) {
        NOT_CHECKED("the library that holds the child back before its handler did not reach "
                    "it: the program is statically linked, or its child does not call the C "
                    "library's fork() and sigaction()");
    }
    send(child, SIGHUP);
    EXPECT_BYTES("within a second of a SIGHUP sent before the handler, standard output (a pipe)",
                 next_line(p.out), hup + "\n");
    send(child, SIGQUIT);
    EXPECT_ENDS("the child, after SIGQUIT", wait_for(child, 5), exited(0));
}

// A line lost is reported once, every later line is still tried, and the child's status
// says so; the parent is not concerned.
EXPECTATION(UnwritableOutput, IsReportedOnceAndTheChildExitsWithStatusOne,
            {"kill_a kill_b kill_c kill_flag kill_wait",
             "A standard output that cannot be written is reported once on standard error, "
             "every later line is still tried, and SIGQUIT ends the child with status 1",
             signals_readme, "unreported-child-write"})
TEST_P(UnwritableOutput, IsReportedOnceAndTheChildExitsWithStatusOne)
{
    RecordProperty("case", GetParam().stdout_path[0] != '\0' ? "standard output on /dev/full"
                                                             : "standard output closed");
    Options options;
    options.stdout_path = GetParam().stdout_path;
    options.closed_stdout = options.stdout_path.empty();
    const Process p = start_lone_child(options);
    for (const int sig : {SIGHUP, SIGINT, SIGHUP}) {
        const long before = writes_of(child);
        send(child, sig);
        const double deadline = now() + (GetParam().counted ? 1 : 0.1);
        while (writes_of(child) == before && now() < deadline) {
            usleep(1000);
        }
        EXPECT_HOLDS(writes_of(child) > before || !GetParam().counted)
            << "no attempt to write within a second of a " << (sig == SIGHUP ? "SIGHUP" : "SIGINT");
    }
    send(child, SIGQUIT);
    EXPECT_ENDS("the child, after SIGQUIT", wait_for(child, 5), exited(1));
    EXPECT_BYTES("standard error (a pipe)", read_all(p.err, 5),
                 std::string("standard output: ") + GetParam().reason + "\n");
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
// must stay a zombie, holding its pid, while the parent runs.
EXPECTATION(ProcessTest, AChildDeadEarlyStaysAZombieEvenWhenSigchldWasIgnored,
            {"kill_a kill_b kill_c kill_flag",
             "Started with SIGCHLD ignored, as a launcher may leave it, a child that dies "
             "early stays a zombie while the parent runs, so that its pid cannot go to "
             "another process that the parent would then signal",
             signals_readme, "inherited-sigchld"})
TEST_F(ProcessTest, AChildDeadEarlyStaysAZombieEvenWhenSigchldWasIgnored)
{
    Options options;
    options.ignored = {SIGCHLD};
    const Process p = spawn({program(schedule_of("kill_a").name)}, options);
    const pid_t child = program_child(p.pid, 2);
    send(child, SIGTERM);
    usleep(1500000); // past the first send of kill_a's parent
    EXPECT_HOLDS(state(child) == 'Z')
        << "1.5 s after SIGTERM ended the child: expected it a zombie, seen "
        << (state(child) == '\0' ? "it gone, reaped already"
                                 : "it in state " + std::string(1, state(child)));
    EXPECT_HOLDS(alive(p.pid)) << "the parent ended within 1.5 s of the start";
    // Orphaned when the parent ends, the zombie comes to this process, which reaps it.
    send(p.pid, SIGKILL);
    wait_for(p.pid, 5);
    EXPECT_ENDS("the child", wait_for(child, 5), killed_by(SIGTERM));
}

// As root the process limit is not enforced, so the run drops to an unprivileged user.
EXPECTATION(ProcessTest, FailedForkIsReportedWithStatusOne,
            {"kill_a kill_b kill_c kill_flag kill_wait",
             "When the process cannot be split (no new process allowed), standard error says "
             "\"fork: Resource temporarily unavailable\", nothing goes to standard output, "
             "and the status is 1",
             signals_readme, ""})
TEST_F(ProcessTest, FailedForkIsReportedWithStatusOne)
{
    if (!can_drop_privileges()) {
        NOT_CHECKED("as root, with no way to become the unprivileged user 65534 here, a "
                    "process limit does not hold");
    }
    const std::string dir = temp_dir();
    Options options;
    options.cwd = dir;
    options.unprivileged = true;
    options.no_new_processes = true;
    // In a sanitized build the leak check at exit needs a thread, which the limit forbids.
    options.env = {"ASAN_OPTIONS=detect_leaks=0"};
    const Result r =
        run({copy_into(program(schedule_of("kill_a").name), dir)}, options, program_time);
    EXPECT_BYTES("standard output (a pipe)", r.out, "");
    EXPECT_BYTES("standard error (a pipe)", r.err, "fork: Resource temporarily unavailable\n");
    EXPECT_ENDS("the program", r.status, exited(1));
}
