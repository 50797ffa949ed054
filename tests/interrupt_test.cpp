// What runs the demonstrations (the tour's watch, this test binary) or the tests
// (tests/run) must leave nothing behind when interrupted: not at the terminal's interrupt
// key, which signals the whole foreground process group, and not at a SIGTERM to the one
// process.
#include "harness.hpp"

#include <csignal>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>

using namespace harness;

namespace {
struct Interruption {
    const char *name;
    enum { watch, test_binary, tests_run } what;
    int sig;
    bool whole_group;
};

class Interrupted : public ProcessTest, public ::testing::WithParamInterface<Interruption> {};

std::vector<pid_t> members_of(pid_t group)
{
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t pid = std::stoi(name);
        std::istringstream fields(stat_fields(pid));
        char letter = 0;
        pid_t ppid = 0;
        pid_t pgrp = 0;
        if (fields >> letter >> ppid >> pgrp && pgrp == group) {
            found.push_back(pid);
        }
    }
    return found;
}
} // namespace

TEST_P(Interrupted, LeavesNothingOfItsGroupAndEndsByTheSignal)
{
    const Interruption how = GetParam();
    Options options;
    options.own_group = true;
    pid_t child = -1;
    Process p{-1, -1, -1};
    if (how.what == Interruption::tests_run) {
        // In a copy of the sources: tests/run configures the build tree this test runs from.
        options.cwd = temp_dir();
        ASSERT_EQ(run({"/bin/sh", "-c",
                       "tar -C \"$0\" --exclude=./build --exclude=./.git --exclude=./lab/mine "
                       "--exclude=./install "
                       "-cf - . | tar -xf -",
                       SOURCE_DIR},
                      options)
                      .status,
                  0);
        p = spawn({"/bin/bash", "tests/run", "--quick"}, options);
        // Its first step, the configuration, in a process group of its own.
        for (const double deadline = now() + 10; now() < deadline; usleep(10000)) {
            child = find_child(p.pid, 5);
            std::istringstream fields(stat_fields(child));
            char letter = 0;
            pid_t ppid = 0;
            pid_t pgrp = 0;
            if (fields >> letter >> ppid >> pgrp && pgrp == child) {
                break;
            }
        }
    } else {
        p = how.what == Interruption::test_binary
                ? spawn({std::filesystem::read_symlink("/proc/self/exe").string(),
                         "--gtest_filter=Executables/NaturalRun.*/kill_b"},
                        options)
                : spawn({WATCH, KILL_B}, options);
        child = find_child(find_child(p.pid, 5), 5); // kill_b's, in its idle loop
    }
    ASSERT_GT(child, 0);
    usleep(100000);
    ASSERT_GT(p.pid, 0); // else the kill below would reach every process it may signal
    kill(how.whole_group ? -p.pid : p.pid, how.sig);

    const int status = wait_for(p.pid, 10);
    if (how.what == Interruption::tests_run) {
        // Orphans of its steps came to this test, a subreaper: the ended ones are reaped.
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == how.sig) << status;
    EXPECT_EQ(members_of(p.pid), std::vector<pid_t>{});
    EXPECT_EQ(members_of(child), std::vector<pid_t>{});
    EXPECT_FALSE(alive(child));
}

INSTANTIATE_TEST_SUITE_P(
    KillB, Interrupted,
    ::testing::Values(Interruption{"WatchAtTheInterruptKey", Interruption::watch, SIGINT, true},
                      Interruption{"WatchTerminated", Interruption::watch, SIGTERM, false},
                      Interruption{"TestAtTheInterruptKey", Interruption::test_binary, SIGINT,
                                   true},
                      Interruption{"TestTerminated", Interruption::test_binary, SIGTERM, false},
                      Interruption{"TestsRunTerminated", Interruption::tests_run, SIGTERM, false}),
    [](const ::testing::TestParamInfo<Interruption> &param) {
        return std::string(param.param.name);
    });
