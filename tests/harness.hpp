// Runs the demonstrations as real processes and watches them: pipes, timestamps, exit
// statuses, signals. Every test process adopts the orphans of its demonstrations
// (PR_SET_CHILD_SUBREAPER) so it can read their statuses, and kills whatever is left of
// them when the test ends, passed or failed.
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

double now();
bool exited_with(int status, int code);
Process spawn(const std::vector<std::string> &argv, const Options &options = {});
Result run(const std::vector<std::string> &argv, const Options &options = {});
// Lines until end of file; fails the test if that takes longer than timeout seconds.
std::vector<Line> read_lines(int fd, double start, double timeout);
// Everything until end of file; fails the test if that takes longer than timeout seconds.
std::string read_all(int fd, double timeout = 30);
// waitpid() with a deadline; fails the test and returns -1 when it passes.
int wait_for(pid_t pid, double timeout);
pid_t find_child(pid_t parent, double timeout);
// The fields of /proc/<pid>/stat after the command name ("S 1 42 ...": state, parent,
// process group...); empty when the process is gone.
std::string stat_fields(pid_t pid);
// The state letter: 'S' sleeping, 'Z' zombie...; '\0' when gone.
char state(pid_t pid);
bool alive(pid_t pid);
std::string make_temp_dir();
std::string copy_into(const std::string &executable, const std::string &dir);
std::string read_file(const std::string &path); // empty when it cannot be read
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
