#include "harness.hpp"
#include "reaper.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace harness {

namespace {
constexpr uid_t nobody = 65534;

// The process's children, zombies included, as the kernel lists them.
std::vector<pid_t> children_of(pid_t parent)
{
    std::istringstream in(read_file("/proc/" + std::to_string(parent) + "/task/" +
                                    std::to_string(parent) + "/children"));
    std::vector<pid_t> found;
    for (pid_t child = 0; in >> child;) {
        found.push_back(child);
    }
    return found;
}

// In the child, before exec: the reason goes to the test's standard error pipe, and the
// status 126 (as a shell's for a command that cannot run) fails the test's expectations.
[[noreturn]] void fail_to_start(const char *what)
{
    perror(what);
    _exit(126);
}

} // namespace

// Every signal at its default and none blocked, as a terminal's shell starts a command: the
// test itself may run as a job of a non-interactive shell (check/run starts its expectations
// so), which ignores SIGINT and SIGQUIT; an ignored signal stays ignored across exec, and
// through an interactive shell too, so the quit key would do nothing to the program tested.
void all_signals_default()
{
    for (int sig = 1; sig < NSIG; ++sig) {
        signal(sig, SIG_DFL); // fails harmlessly for SIGKILL, SIGSTOP and unused numbers
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
}

namespace {
[[noreturn]] void exec_child(const std::vector<std::string> &argv, const Options &options, int out,
                             int err)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL); // if the test dies, its direct children go with it
    if (options.own_group) {
        setpgid(0, 0);
    }
    // Standard error first, so that any failure below reaches the test with its reason: a
    // program started with the wrong descriptors would fail it for a reason not its own.
    if (dup2(err, STDERR_FILENO) < 0) {
        _exit(126);
    }
    if (!options.stdout_path.empty()) {
        out = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) {
            fail_to_start(options.stdout_path.c_str());
        }
    }
    const int null = open("/dev/null", O_RDONLY);
    if (null < 0) {
        fail_to_start("/dev/null");
    }
    if (dup2(out, STDOUT_FILENO) < 0 || dup2(null, STDIN_FILENO) < 0) {
        fail_to_start("dup2");
    }
    if (options.closed_stdout) {
        close(STDOUT_FILENO);
    }
    all_signals_default();
    for (const int sig : options.ignored) {
        signal(sig, SIG_IGN);
    }
    if (options.unprivileged && geteuid() == 0) {
        // uid first with the process limit still open: a uid change over the limit would
        // make the exec below fail instead of the program's fork().
        if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
            setresuid(nobody, nobody, nobody) != 0) {
            fail_to_start("drop privileges");
        }
    }
    // Under check/run, as an ordinary user: a program that forks without end stops at a
    // limit below the one check/run and the tests keep for themselves.
    if (const char *limit = getenv("DEMO_CHECK_NPROC")) {
        const rlim_t most = strtoul(limit, nullptr, 10);
        const rlimit processes{most, most};
        setrlimit(RLIMIT_NPROC, &processes);
    }
    if (options.no_new_processes) {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_NPROC, &none);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
        fail_to_start(options.cwd.c_str());
    }
    for (const auto &assignment : options.env) {
        putenv(const_cast<char *>(assignment.c_str()));
    }
    std::vector<char *> args;
    std::transform(argv.begin(), argv.end(), std::back_inserter(args),
                   [](const std::string &arg) { return const_cast<char *>(arg.c_str()); });
    args.push_back(nullptr);
    execv(args[0], args.data());
    perror("execv");
    _exit(127);
}
} // namespace

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool exited_with(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

namespace {
// A pseudo-terminal as a pipe's two ends: [0] the side the test reads, [1] the terminal
// the program writes to. No output processing, so the bytes read are the bytes written.
bool open_terminal(int ends[2], bool stopped)
{
    ends[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ends[0] < 0 || grantpt(ends[0]) != 0 || unlockpt(ends[0]) != 0) {
        return false;
    }
    ends[1] = open(ptsname(ends[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (ends[1] < 0 || tcgetattr(ends[1], &settings) != 0) {
        return false;
    }
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    return tcsetattr(ends[1], TCSANOW, &settings) == 0 &&
           (!stopped || tcflow(ends[1], TCOOFF) == 0);
}
} // namespace

Process spawn(const std::vector<std::string> &argv, const Options &options)
{
    int out[2];
    int err[2];
    const bool out_made = options.terminal || options.stopped_terminal
                              ? open_terminal(out, options.stopped_terminal)
                              : pipe2(out, O_CLOEXEC) == 0;
    if (!out_made || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe or terminal: " << std::strerror(errno);
        return {-1, -1, -1};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        exec_child(argv, options, out[1], err[1]);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno) << " (too many processes?)";
        close(out[0]);
        close(err[0]);
        return {-1, -1, -1};
    }
    if (!options.stdout_path.empty() || options.closed_stdout) {
        close(out[0]);
        out[0] = -1;
    }
    return {pid, out[0], err[0]};
}

namespace {
// Appends what the next read() brings; false at end of file, or (a test failure) when
// the deadline passes first.
bool read_more(int fd, double deadline, std::string &text)
{
    pollfd p{fd, POLLIN, 0};
    const double left = deadline - now();
    if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) == 0) {
        ADD_FAILURE() << "an output of the program still open after the time allowed: a "
                         "process of the program, such as a child left running, still holds it";
        return false;
    }
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        return false;
    }
    text.append(buffer, static_cast<size_t>(n));
    return true;
}
} // namespace

std::vector<Line> read_lines(int fd, double start, double timeout)
{
    std::vector<Line> lines;
    std::string partial;
    size_t kept = 0;
    while (read_more(fd, start + timeout, partial)) {
        if ((kept += partial.size()) > kept_output) {
            partial.clear();
            continue;
        }
        const double at = now() - start;
        for (size_t end; (end = partial.find('\n')) != std::string::npos;) {
            lines.push_back({at, partial.substr(0, end)});
            partial.erase(0, end + 1);
        }
    }
    if (!partial.empty()) {
        lines.push_back({now() - start, partial + "<no newline>"});
    }
    if (kept > kept_output) {
        lines.push_back({now() - start, "(cut: more than 4 MiB written)"});
    }
    close(fd);
    return lines;
}

std::string read_all(int fd, double timeout)
{
    std::string text;
    const double deadline = now() + timeout;
    size_t dropped = 0;
    while (read_more(fd, deadline, text)) {
        if (text.size() > kept_output) {
            dropped += text.size() - kept_output;
            text.resize(kept_output);
        }
    }
    close(fd);
    return dropped == 0 ? text
                        : text + "\n(cut: " + std::to_string(dropped) + " more bytes not kept)\n";
}

Result run(const std::vector<std::string> &argv, const Options &options, double timeout)
{
    const double deadline = now() + timeout;
    const Process p = spawn(argv, options);
    Result result{"", "", -1};
    if (p.out >= 0) {
        result.out = read_all(p.out, deadline - now());
    }
    result.err = read_all(p.err, deadline - now());
    result.status = wait_for(p.pid, std::max(deadline - now(), 0.1));
    return result;
}

int wait_for(pid_t pid, double timeout)
{
    if (pid <= 0) { // waitpid() would take any child
        ADD_FAILURE() << "no process to wait for";
        return -1;
    }
    const double deadline = now() + timeout;
    do {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return status;
        }
        if (done < 0) {
            ADD_FAILURE() << "cannot wait for the program's process: " << std::strerror(errno);
            return -1;
        }
        usleep(2000);
    } while (now() < deadline);
    ADD_FAILURE() << "a process of the program still running "
                  << static_cast<double>(std::lround(timeout * 10)) / 10
                  << " s after it should have ended";
    return -1;
}

pid_t find_child(pid_t parent, double timeout)
{
    const double deadline = now() + timeout;
    do {
        const auto children = children_of(parent);
        if (!children.empty()) {
            return children.front();
        }
    } while (now() < deadline);
    ADD_FAILURE() << "process " << parent << " made no child within " << timeout << " s";
    return -1;
}

namespace {
std::string link_of(pid_t pid, const char *what)
{
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/" + what, error)
        .string();
}
} // namespace

namespace {
// Whether a process blocks or catches each of SIGHUP, SIGINT and SIGQUIT, as a kill
// program's child does from its start (/proc/<pid>/status: bit n - 1 for signal n).
bool holds_demo_signals(pid_t pid)
{
    // Line by line: other lines hold any number of words (Groups: none for root, one or
    // more for a user), so pairs of words would drift out of step.
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
    unsigned long held = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigCgt:", 0) == 0) {
            held |= std::stoul(line.substr(7), nullptr, 16);
        }
    }
    const unsigned long all = 1ul << (SIGHUP - 1) | 1ul << (SIGINT - 1) | 1ul << (SIGQUIT - 1);
    return (held & all) == all;
}
} // namespace

pid_t program_child(pid_t parent, double timeout, const std::string &path)
{
    const double deadline = now() + timeout;
    pid_t candidate = -1;
    double since = 0;
    std::error_code error;
    const std::string own = path.empty() ? "" : std::filesystem::canonical(path, error).string();
    do {
        const std::string exe = link_of(parent, "exe");
        const std::string command = read_file("/proc/" + std::to_string(parent) + "/cmdline");
        // A compiled program runs as itself: its fork is its child, whatever its signals (a
        // child that neither blocks nor handles them yet is the very fault some tests seek).
        // Through an interpreter or a wrapper, only a child that holds the three signals is
        // the program's own: a wrapper's subshells share its executable and command line.
        const bool as_itself = !own.empty() && exe == own;
        const std::vector<pid_t> children = children_of(parent);
        const auto own_child = std::find_if(children.begin(), children.end(), [&](pid_t child) {
            return !exe.empty() && link_of(child, "exe") == exe &&
                   read_file("/proc/" + std::to_string(child) + "/cmdline") == command &&
                   (as_itself || holds_demo_signals(child));
        });
        const pid_t found = own_child == children.end() ? -1 : *own_child;
        if (found != candidate) {
            candidate = found;
            since = now();
        } else if (found > 0 && now() - since >= 0.05) {
            return found;
        }
        usleep(1000);
    } while (now() < deadline);
    ADD_FAILURE() << "the program made no child of its own within " << timeout
                  << " s (a process with its executable and command line that blocks or "
                     "handles SIGHUP, SIGINT and SIGQUIT). If it is a script reached through a "
                     "wrapper (#!/usr/bin/env finding a version manager's shim, which forks "
                     "before it starts the interpreter), name the interpreter itself in its #! "
                     "line, such as #!/usr/bin/python3";
    return -1;
}

// Busy means on a processor, or ready and in line for one, for more than half of the run,
// and on one for over 0.1 s (/proc/<pid>/schedstat: both in ns). Under load a loop that
// never sleeps gets little of a processor but is in line for it all the time; a loop that
// sleeps between its tests passes, loaded or not.
std::string busy_waiting(pid_t pid, double seconds)
{
    std::istringstream fields(read_file("/proc/" + std::to_string(pid) + "/schedstat"));
    double running = 0;
    double waiting = 0;
    if (!(fields >> running >> waiting)) {
        return ""; // gone, or a kernel without scheduler statistics: not seen busy
    }
    running /= 1e9;
    waiting /= 1e9;
    if (running + waiting <= seconds / 2 || running <= 0.1) {
        return "";
    }
    char words[200];
    snprintf(words, sizeof words,
             "it was running or waiting for a processor %.1f s in a run of about %.0f s "
             "(%.1f s of it running): a loop that tests without sleeping",
             running + waiting, seconds, running);
    return words;
}

void send(pid_t pid, int sig)
{
    if (pid <= 0) {
        ADD_FAILURE() << "no process to send signal " << sig << " to";
        return;
    }
    kill(pid, sig);
}

std::string stat_fields(pid_t pid)
{
    // The command name, in parentheses, may hold anything: it ends at the last ')'.
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat.substr(paren + 2) : "";
}

char state(pid_t pid)
{
    const std::string fields = stat_fields(pid);
    return fields.empty() ? '\0' : fields[0];
}

bool alive(pid_t pid)
{
    const char s = state(pid);
    return s != '\0' && s != 'Z' && s != 'X';
}

std::string make_temp_dir()
{
    char name[] = "/tmp/demo-test-XXXXXX";
    if (mkdtemp(name) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return "/nonexistent";
    }
    chmod(name, 0755); // reachable by the unprivileged user, writable only by us
    return name;
}

std::string copy_into(const std::string &executable, const std::string &dir)
{
    const auto target = std::filesystem::path(dir) / std::filesystem::path(executable).filename();
    std::filesystem::copy_file(executable, target);
    return target.string();
}

std::string read_file(const std::string &path)
{
    // Plain read(2): a /proc file of a process that is just ending fails with ESRCH, which
    // means "gone", not an error.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd < 0 ? std::string() : read_all(fd);
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

void resume_terminal(int out)
{
    const int terminal = open(ptsname(out), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0 || tcflow(terminal, TCOON) != 0) {
        ADD_FAILURE() << "resume the terminal: " << std::strerror(errno);
    }
    close(terminal);
}

bool can_drop_privileges()
{
    if (geteuid() != 0) {
        return true;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(setgroups(0, nullptr) == 0 && setresgid(nobody, nobody, nobody) == 0 &&
                      setresuid(nobody, nobody, nobody) == 0
                  ? 0
                  : 1);
    }
    int status = -1;
    return pid > 0 && waitpid(pid, &status, 0) == pid && exited_with(status, 0);
}

std::string blocked_in(pid_t pid)
{
    std::istringstream fields(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    std::string number;
    std::string first;
    fields >> number >> first;
    // "running" while it runs; a negative number while it sleeps outside any system call
    return number.empty() || number == "running" || number[0] == '-' ? "" : number + " " + first;
}

// ---- Check mode and plain words ----

namespace {
std::string from_environment(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

std::map<std::string, Expectation> &expectations()
{
    static std::map<std::string, Expectation> described;
    return described;
}

// "Executables/NaturalRun" and "Narrates.../kill_a" make "NaturalRun.Narrates...": the
// name an EXPECTATION gives, whatever instantiation and parameter the test runs with.
std::string described_name(const ::testing::TestInfo &test)
{
    const std::string suite = test.test_suite_name();
    const std::string name = test.name();
    return suite.substr(suite.find('/') + 1) + "." + name.substr(0, name.find('/'));
}

bool concerns(const std::string &programs, const std::string &name)
{
    std::istringstream words(programs);
    std::string word;
    while (words >> word) {
        if (word == name) {
            return true;
        }
    }
    return false;
}
} // namespace

std::string program(const std::string &name)
{
    if (!own_build() && name == checked()) {
        return from_environment("DEMO_CHECK_PROGRAM");
    }
    static const std::map<std::string, std::string> own = {
        {"kill_a", KILL_A},       {"kill_b", KILL_B},
        {"kill_c", KILL_C},       {"leakdemo", LEAKDEMO},
        {"farewell", FAREWELL},   {"kill_wait", KILL_WAIT},
        {"kill_flag", KILL_FLAG}, {"farewell_lost", FAREWELL_LOST}};
    const auto found = own.find(name);
    return found != own.end() ? found->second : name;
}

const std::string &checked()
{
    static const std::string name = from_environment("DEMO_CHECK");
    return name;
}

bool describe(const char *test, const Expectation &expectation)
{
    expectations().emplace(test, expectation);
    return true;
}

std::string shown(const std::string &text)
{
    if (text.empty()) {
        return "    (nothing)\n";
    }
    std::string out = "    ";
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += i + 1 < text.size() ? "\n    " : "\n";
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            // a terminal's end of line
        } else if (c < 0x20 || c == 0x7f) {
            char code[8];
            snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return text.back() == '\n' ? out : out + "   (no newline at the end)\n";
}

std::string status_in_words(int status)
{
    if (status == -1) {
        return "not ended in the time allowed";
    }
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        const char *name = sigabbrev_np(WTERMSIG(status));
        return std::string("ended by signal ") +
               (name != nullptr ? std::string("SIG") + name : std::to_string(WTERMSIG(status))) +
               (WCOREDUMP(status) ? " (core dumped)" : "");
    }
    return "status " + std::to_string(status);
}

::testing::AssertionResult same_bytes(const char * /*what_text*/, const char * /*seen_text*/,
                                      const char * /*expected_text*/, const std::string &what,
                                      const std::string &seen, const std::string &expected)
{
    if (seen == expected) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << what << ": expected\n"
                                         << shown(expected) << "  seen\n"
                                         << shown(seen);
}

::testing::AssertionResult ends_as(const char * /*who_text*/, const char * /*status_text*/,
                                   const char * /*expected_text*/, const std::string &who,
                                   int status, int expected)
{
    if (status == expected) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << who << ": expected " << status_in_words(expected)
                                         << ", seen " << status_in_words(status);
}

namespace {
// ctest kills a test that outlives its TIMEOUT with SIGKILL, which leaves no chance to end
// what the test started: a demonstration's orphaned child would run on. So each test has
// a watchdog of its own, which fires first and ends everything below the test.
void on_watchdog(int sig)
{
    static constexpr char message[] = "\ntest timed out: ending every process it started\n";
    write(STDERR_FILENO, message, sizeof message - 1);
    reaper::end_all_and_reraise(sig);
}
} // namespace

void ProcessTest::SetUp()
{
    const auto &test = *::testing::UnitTest::GetInstance()->current_test_info();
    const auto described = expectations().find(described_name(test));
    if (own_build() && described != expectations().end()) {
        // A student edition has no reference solutions of the lab's tasks: an expectation
        // that concerns only them has no program of this build to hold to.
        std::istringstream words(described->second.programs);
        std::string word;
        bool any = false;
        while (!any && words >> word) {
            any = !program(word).empty();
        }
        if (!any) {
            GTEST_SKIP() << "the lab's reference solutions are not in this copy (lab/solutions/)";
        }
    }
    if (!own_build()) {
        // Under check/run only the expectations that concern the program given are tried:
        // each says in plain words what it holds it to.
        if (described == expectations().end() || !concerns(described->second.programs, checked())) {
            GTEST_SKIP() << "not an expectation of " << checked();
        }
        RecordProperty("expectation", described->second.words);
        RecordProperty("readme", described->second.readme);
        RecordProperty("experiments", described->second.experiments);
        RecordProperty("defining", concerns(described->second.defining, checked()) ? 1 : 0);
        if (!from_environment("DEMO_CHECK_LIST").empty()) {
            GTEST_SKIP() << "listed only";
        }
    }
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    // Interrupted (the terminal's keys, a closing terminal, a SIGTERM), the test ends
    // everything it started before it ends by the same signal.
    reaper::on_signal(SIGINT, reaper::end_all_and_reraise);
    reaper::on_signal(SIGTERM, reaper::end_all_and_reraise);
    reaper::on_signal(SIGHUP, reaper::end_all_and_reraise);
    reaper::on_signal(SIGALRM, on_watchdog);
    alarm(DEMO_TEST_TIMEOUT - 10);
}

namespace {
// Stops every process below this one, its children's children too, round after round
// until no new one appears: a program that forks without end can then make no more, and
// killing them all cannot race with its forks.
void stop_everything_below()
{
    std::vector<pid_t> known = {getpid()};
    for (size_t done = 0, round = 0; done < known.size() && round < 10000; ++round) {
        const pid_t pid = known[done++];
        for (const pid_t child : children_of(pid)) {
            if (std::find(known.begin(), known.end(), child) == known.end()) {
                kill(child, SIGSTOP);
                known.push_back(child);
            }
        }
        if (done == known.size() && round < 20) {
            done = 0; // once more from the top, for what was forked meanwhile
        }
    }
    for (size_t i = 1; i < known.size(); ++i) {
        kill(known[i], SIGKILL);
    }
}
} // namespace

void ProcessTest::TearDown()
{
    // Stop and kill everything below, reap our children, and repeat for the orphans that
    // then come to us, until nothing below this process is left.
    stop_everything_below();
    reaper::end_everything_below();
    alarm(0);
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::string ProcessTest::temp_dir()
{
    if (dir_.empty()) {
        dir_ = make_temp_dir();
    }
    return dir_;
}

} // namespace harness
