// What runs the demonstrations (the tour's watch, this test binary) must leave nothing
// behind when interrupted: not at the terminal's interrupt key, which signals the whole
// foreground process group, and not at a SIGTERM to the one process.
#include "harness.hpp"

#include <csignal>
#include <dirent.h>
#include <filesystem>
#include <sys/wait.h>

using namespace harness;

namespace {
struct Interruption {
    const char *name;
    bool test_binary; // else the tour's watch
    int sig;
    bool whole_group;
};

class Interrupted : public ProcessTest, public ::testing::WithParamInterface<Interruption> {};

std::vector<pid_t> members_of(pid_t group)
{
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    for (const dirent *entry; proc != nullptr && (entry = readdir(proc)) != nullptr;) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        const auto paren = stat.rfind(')');
        int pgrp = 0;
        if (pid > 0 && paren != std::string::npos &&
            std::sscanf(stat.c_str() + paren + 1, " %*c %*d %d", &pgrp) == 1 && pgrp == group) {
            found.push_back(pid);
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return found;
}
} // namespace

TEST_P(Interrupted, LeavesNothingOfItsGroupAndEndsByTheSignal)
{
    const Interruption how = GetParam();
    Options options;
    options.own_group = true;
    const Process p = how.test_binary
                          ? spawn({std::filesystem::read_symlink("/proc/self/exe").string(),
                                   "--gtest_filter=Executables/NaturalRun.*/kill_b"},
                                  options)
                          : spawn({WATCH, KILL_B}, options);
    const pid_t child = find_child(find_child(p.pid, 5), 5); // kill_b's, in its idle loop
    ASSERT_GT(child, 0);
    usleep(100000);
    kill(how.whole_group ? -p.pid : p.pid, how.sig);

    const int status = wait_for(p.pid, 2);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == how.sig) << status;
    EXPECT_EQ(members_of(p.pid), std::vector<pid_t>{});
    EXPECT_FALSE(alive(child));
}

INSTANTIATE_TEST_SUITE_P(
    KillB, Interrupted,
    ::testing::Values(Interruption{"WatchAtTheInterruptKey", false, SIGINT, true},
                      Interruption{"WatchTerminated", false, SIGTERM, false},
                      Interruption{"TestAtTheInterruptKey", true, SIGINT, true},
                      Interruption{"TestTerminated", true, SIGTERM, false}),
    [](const ::testing::TestParamInfo<Interruption> &param) {
        return std::string(param.param.name);
    });
