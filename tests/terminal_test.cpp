// kill_a at a terminal, as a person runs it: an interactive shell with job control on a
// pseudo-terminal, the program started from its prompt, and the interrupt and quit keys
// typed while the parent runs. The keys signal the whole foreground process group.
#include "harness.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace harness;

namespace {
const std::string prompt = "demo-prompt> ";

class Terminal : public ProcessTest {
  protected:
    void SetUp() override
    {
        ProcessTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const std::string terminal = ptsname(master);
        shell = fork();
        if (shell == 0) {
            all_signals_default(); // bash -i passes on what it found ignored
            setsid();              // a session of its own, whose controlling terminal is the pty
            const int slave = open(terminal.c_str(), O_RDWR);
            if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0 || dup2(slave, 0) < 0 ||
                dup2(slave, 1) < 0 || dup2(slave, 2) < 0) {
                perror(terminal.c_str()); // no shell, so no prompt: the test fails with this
                _exit(126);
            }
            const rlimit no_core{0, 0}; // the quit key's default action dumps core
            setrlimit(RLIMIT_CORE, &no_core);
            const std::string ps1 = "PS1=" + prompt;
            // The test's own PATH: a script's interpreter is found as where it was started.
            const char *inherited = getenv("PATH");
            const std::string path =
                std::string("PATH=") + (inherited != nullptr ? inherited : "/usr/bin:/bin");
            char *env[] = {const_cast<char *>(ps1.c_str()), const_cast<char *>("TERM=dumb"),
                           const_cast<char *>(path.c_str()), nullptr};
            execle("/bin/bash", "bash", "--norc", "--noprofile", "-i", nullptr, env);
            _exit(127);
        }
        ASSERT_GT(shell, 0) << "fork: " << strerror(errno);
        ASSERT_TRUE(wait_for_screen(prompt, 10));
    }
    void TearDown() override
    {
        ProcessTest::TearDown();
        close(master);
    }

    // Reads the terminal until text appears after what was already seen.
    bool wait_for_screen(const std::string &text, double timeout)
    {
        const double deadline = now() + timeout;
        for (;;) {
            const auto found = screen.find(text, seen);
            if (found != std::string::npos) {
                seen = found + text.size();
                return true;
            }
            pollfd p{master, POLLIN, 0};
            const double left = deadline - now();
            if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) {
                ADD_FAILURE() << "the terminal: expected within " << timeout << " s\n"
                              << shown(text) << "  seen, after what came before\n"
                              << shown(screen.substr(seen));
                return false;
            }
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                ADD_FAILURE() << "the terminal closed; it showed\n" << shown(screen);
                return false;
            }
            screen.append(buffer, static_cast<size_t>(n));
        }
    }

    // Starts kill_a at the prompt; returns the parent and the child once both exist and
    // the child has had time to install its handler.
    std::pair<pid_t, pid_t> start_kill_a()
    {
        // The program as a word the shell takes as it is, whatever its path holds.
        std::string quoted = "'";
        for (const char c : program(own_build() ? "kill_a" : checked())) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        const std::string command = quoted + "'\n";
        EXPECT_EQ(write(master, command.data(), command.size()),
                  static_cast<ssize_t>(command.size()));
        const pid_t parent = find_child(shell, 5);
        const pid_t child = program_child(parent, 5);
        usleep(300000);
        return {parent, child};
    }

    void type(const char *keys)
    {
        EXPECT_EQ(write(master, keys, strlen(keys)), static_cast<ssize_t>(strlen(keys)));
    }

    bool gone_within(pid_t pid, double timeout)
    {
        const double deadline = now() + timeout;
        while (alive(pid) && now() < deadline) {
            usleep(10000);
        }
        return !alive(pid);
    }

    int master = -1;
    pid_t shell = -1;
    std::string screen;
    size_t seen = 0;
};

const char *const signals_readme = "signals/README.md, \"Try it by hand\"";
} // namespace

EXPECTATION(Terminal, InterruptKeyEndsTheParentAndTheChildNarratesAndRunsOn,
            {"kill_a kill_b kill_c kill_flag kill_wait",
             "At a terminal the interrupt key (Ctrl-C) ends the parent, and the child writes "
             "its SIGINT line and runs on, until SIGQUIT ends it with status 0",
             signals_readme, ""})
TEST_F(Terminal, InterruptKeyEndsTheParentAndTheChildNarratesAndRunsOn)
{
    const auto [parent, child] = start_kill_a();
    const size_t typed = seen;
    type("\x03");
    wait_for_screen("Child: Received SIGINT signal from parent\r\n", 2);
    EXPECT_HOLDS(gone_within(parent, 2)) << "the parent still runs 2 s after Ctrl-C";
    seen = typed; // the shell has its terminal back, before or after the child's line
    wait_for_screen(prompt, 2);
    usleep(1500000); // past the parent's first send: the child idles on, unsignalled
    EXPECT_HOLDS(alive(child)) << "the child ended after Ctrl-C";

    send(child, SIGQUIT);
    wait_for_screen("child: My DADDY has killed me !!!\r\n", 2);
    EXPECT_ENDS("the child, after SIGQUIT", wait_for(child, 5), exited(0));
    EXPECT_HOLDS(screen.find("SIGHUP") == std::string::npos)
        << "a SIGHUP line from a parent that had ended; the terminal showed\n"
        << shown(screen);
}

EXPECTATION(Terminal, QuitKeyEndsTheParentAndTheChildExitsWithStatusZero,
            {"kill_a kill_b kill_c kill_flag kill_wait",
             "At a terminal the quit key (Ctrl-\\) ends the parent, and the child writes its "
             "SIGQUIT line and ends with status 0",
             signals_readme, ""})
TEST_F(Terminal, QuitKeyEndsTheParentAndTheChildExitsWithStatusZero)
{
    const auto [parent, child] = start_kill_a();
    type("\x1c");
    wait_for_screen("child: My DADDY has killed me !!!\r\n", 2);
    EXPECT_HOLDS(gone_within(parent, 2)) << "the parent still runs 2 s after Ctrl-\\";
    EXPECT_ENDS("the child, after the quit key", wait_for(child, 5), exited(0));
    EXPECT_HOLDS(screen.find("SIGHUP") == std::string::npos)
        << "a SIGHUP line from a parent that had ended; the terminal showed\n"
        << shown(screen);
}

#ifndef DEMO_SANITIZE // the tour runs its programs under strace and valgrind
namespace {
struct Prediction {
    const char *demonstration = "";
    std::vector<std::string> answers;
    std::vector<std::string> compared; // in order, after "Your predictions..."
};

class Predict : public Terminal, public ::testing::WithParamInterface<Prediction> {};

void PrintTo(const Prediction &prediction, std::ostream *os)
{
    *os << prediction.demonstration;
}
} // namespace

// The tour asks before the run and shows nothing of what will happen; after the run it sets
// each answer beside what happened, and keeps the comparison in a file.
TEST_P(Predict, AsksBeforeTheRunAndSetsEachAnswerBesideWhatHappened)
{
    const Prediction &p = GetParam();
    const std::string kept = temp_dir() + "/predictions.md";
    type((std::string("TOUR_BUILD_DIR=") + TOUR_BUILD_DIR + " TOUR_PREDICTIONS=" + kept + " bash " +
          TOUR_RUN + " --predict " + p.demonstration + "\n")
             .c_str());
    for (const std::string &answer : p.answers) {
        ASSERT_TRUE(wait_for_screen(") > ", 20));
        EXPECT_EQ(screen.find("it was:"), std::string::npos) << screen;
        type((answer + "\n").c_str());
    }
    EXPECT_EQ(screen.find("What it shows:"), std::string::npos) << screen;
    ASSERT_TRUE(wait_for_screen("Your predictions, beside what happened:\r\n", 30));
    for (const std::string &line : p.compared) {
        EXPECT_TRUE(wait_for_screen(line, 5));
    }
    EXPECT_TRUE(wait_for_screen("What it shows:", 5));
    EXPECT_TRUE(wait_for_screen(prompt, 30));
    EXPECT_NE(read_file(kept).find("\n## " + std::string(p.demonstration) + ", "),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Tour, Predict,
    ::testing::Values(
        Prediction{"farewell",
                   {"a", "a", "14"},
                   {"you said: a\r\n    it was:   a) Program is exiting... (from main())   (as you "
                    "said)\r\n",
                    "you said: a\r\n    it was:   b) after main() had returned, when close_file() "
                    "closed it   (not what you said)\r\n",
                    "you said: 14\r\n    it was:   14   (as you said)\r\n"}},
        Prediction{"leakdemo",
                   {"a", "b", "2"},
                   {"you said: a\r\n    it was:   b) all 0: they come from the new, zero-filled "
                    "block   (not what you said)\r\n",
                    "you said: b\r\n    it was:   b) definitely lost: no pointer to it was left  "
                    " (as you said)\r\n",
                    "you said: 2\r\n    it was:   3: the two blocks, and the C library's buffer "
                    "for standard output   (not what you said)\r\n"}},
        Prediction{"kill_a",
                   {"4", "5", "b", "fork", "a"},
                   {"you said: 4\r\n    it was:   5   (not what you said)\r\n",
                    " s, when the child ended   (as you said)\r\n",
                    "you said: b\r\n    it was:   b) it exited with status 0 after ",
                    " s: it handled SIGQUIT and called exit()   (as you said)\r\n",
                    "you said: fork\r\n    it was:   clone"}}),
    [](const ::testing::TestParamInfo<Prediction> &param) {
        return std::string(param.param.demonstration);
    });
#endif
