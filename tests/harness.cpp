#include "harness.hpp"
#include "reaper.hpp"

#include <algorithm>
#include <cerrno>
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
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
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

Process spawn(const std::vector<std::string> &argv, const Options &options)
{
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {-1, -1, -1};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        exec_child(argv, options, out[1], err[1]);
    }
    close(out[1]);
    close(err[1]);
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
        ADD_FAILURE() << "no end of file before the deadline";
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
    while (read_more(fd, start + timeout, partial)) {
        const double at = now() - start;
        for (size_t end; (end = partial.find('\n')) != std::string::npos;) {
            lines.push_back({at, partial.substr(0, end)});
            partial.erase(0, end + 1);
        }
    }
    if (!partial.empty()) {
        lines.push_back({now() - start, partial + "<no newline>"});
    }
    close(fd);
    return lines;
}

std::string read_all(int fd, double timeout)
{
    std::string text;
    const double deadline = now() + timeout;
    while (read_more(fd, deadline, text)) {
    }
    close(fd);
    return text;
}

Result run(const std::vector<std::string> &argv, const Options &options)
{
    const Process p = spawn(argv, options);
    Result result{"", "", -1};
    if (p.out >= 0) {
        result.out = read_all(p.out);
    }
    result.err = read_all(p.err);
    result.status = wait_for(p.pid, 60);
    return result;
}

int wait_for(pid_t pid, double timeout)
{
    const double deadline = now() + timeout;
    do {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return status;
        }
        if (done < 0) {
            ADD_FAILURE() << "waitpid(" << pid << "): " << std::strerror(errno);
            return -1;
        }
        usleep(2000);
    } while (now() < deadline);
    ADD_FAILURE() << "process " << pid << " still running after " << timeout << " s";
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
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    // Interrupted (the terminal's keys, a closing terminal, a SIGTERM), the test ends
    // everything it started before it ends by the same signal.
    reaper::on_signal(SIGINT, reaper::end_all_and_reraise);
    reaper::on_signal(SIGTERM, reaper::end_all_and_reraise);
    reaper::on_signal(SIGHUP, reaper::end_all_and_reraise);
    reaper::on_signal(SIGALRM, on_watchdog);
    alarm(DEMO_TEST_TIMEOUT - 10);
}

void ProcessTest::TearDown()
{
    // Kill our children, reap them, and repeat for the orphans that then come to us,
    // until nothing below this process is left.
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
