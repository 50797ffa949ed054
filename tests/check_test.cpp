// check/run, which holds a learner's program to a demonstration's contract with this
// suite's own tests: on this build's programs every expectation holds; on a program built
// from a patched source it fails the expectation the patch breaks; a file that cannot be
// run is refused.
#include "harness.hpp"

#include <cstring>
#include <sys/stat.h>

using namespace harness;

namespace {
Result check(const std::vector<std::string> &args, const Options &options)
{
    std::vector<std::string> argv = {"/bin/bash", std::string(SOURCE_DIR) + "/check/run",
                                     "--names"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, options, 90);
}

std::string last_line(const std::string &text)
{
    const auto end = text.find_last_not_of('\n');
    return end == std::string::npos
               ? ""
               : text.substr(text.rfind('\n', end) + 1, end - text.rfind('\n', end));
}
} // namespace

TEST_F(ProcessTest, CheckRunHoldsThisBuildAndCatchesAPatchedProgram)
{
    Options options;
    options.env = {std::string("CHECK_BUILD_DIR=") + TOUR_BUILD_DIR};
    // kill_b's schedule alone takes 24 s: it runs beside the others.
    Options slow = options;
    slow.env.emplace_back("CHECK_JOBS=1");
    const Process kill_b =
        spawn({"/bin/bash", std::string(SOURCE_DIR) + "/check/run", "kill_b", KILL_B}, slow);
    for (const char *name : {"kill_a", "kill_c", "leakdemo", "farewell"}) {
        const Result r = check({name, program(name)}, options);
        EXPECT_TRUE(exited_with(r.status, 0)) << name << ":\n" << r.out << r.err;
        EXPECT_NE(last_line(r.out).find(" expectations hold ("), std::string::npos) << r.out;
    }
    const std::string out = read_all(kill_b.out, 90);
    EXPECT_TRUE(exited_with(wait_for(kill_b.pid, 10), 0)) << out << read_all(kill_b.err, 1);
    EXPECT_EQ(
        last_line(out).rfind(std::string("kill_b ") + KILL_B + ": 11 of 11 expectations hold (", 0),
        0u)
        << out;

    // leakdemo with the unchecked-leakdemo-output experiment: a full disk passes in silence.
    const std::string dir = temp_dir();
    Options patching;
    patching.cwd = dir;
    patching.env = {"GIT_CEILING_DIRECTORIES=" + dir};
    ASSERT_TRUE(exited_with(run({"/bin/mkdir", "heap"}, patching).status, 0));
    ASSERT_TRUE(exited_with(
        run({"/bin/cp", std::string(SOURCE_DIR) + "/heap/leakdemo.cpp", "heap/"}, patching).status,
        0));
    const Result applied =
        run({"/usr/bin/git", "apply",
             std::string(SOURCE_DIR) + "/experiments/unchecked-leakdemo-output.patch"},
            patching);
    ASSERT_TRUE(exited_with(applied.status, 0)) << applied.err;
    const Result built =
        run({CXX_COMPILER, "-O2", "-o", "leakdemo", "heap/leakdemo.cpp"}, patching);
    ASSERT_TRUE(exited_with(built.status, 0)) << built.err;
    const Result patched =
        check({"--json", dir + "/verdicts.json", "leakdemo", dir + "/leakdemo"}, options);
    EXPECT_TRUE(exited_with(patched.status, 1)) << patched.out << patched.err;
    EXPECT_NE(patched.out.find(
                  "FAILED       [ProcessTest.LeakdemoReportsAStandardOutputThatCannotBeWritten]"),
              std::string::npos)
        << patched.out;
    EXPECT_EQ(last_line(patched.out)
                  .rfind("leakdemo " + dir + "/leakdemo: 4 of 5 expectations hold, 1 failed (", 0),
              0u)
        << patched.out;
    // The same verdicts as JSON, for a hand-in.
    const std::string json = read_file(dir + "/verdicts.json");
    EXPECT_NE(json.find("\"status\": 1,\n  \"seconds\": "), std::string::npos) << json;
    EXPECT_NE(
        json.find("\"name\": \"ProcessTest.LeakdemoReportsAStandardOutputThatCannotBeWritten\",\n"
                  "      \"words\": "),
        std::string::npos)
        << json;

    // kill_a reached through a wrapper that forks before it execs: its own child is checked.
    // Both in a folder of their own, which the sandbox shows whole for a script.
    ASSERT_TRUE(exited_with(run({"/bin/mkdir", dir + "/wrapped"}).status, 0));
    copy_into(KILL_A, dir + "/wrapped");
    write_file(dir + "/wrapped/shim", "#!/bin/sh\nsleep 3 &\nexec \"${0%/*}/kill_a\"\n");
    chmod((dir + "/wrapped/shim").c_str(), 0755);
    const Result shim =
        check({"--only", "OutsideSignals.*", "kill_a", dir + "/wrapped/shim"}, options);
    EXPECT_TRUE(exited_with(shim.status, 0)) << shim.out << shim.err;

    // A file that is not executable: said in one line, status 2.
    write_file(dir + "/mine", "#!/bin/sh\necho hello\n");
    chmod((dir + "/mine").c_str(), 0644);
    const Result refused = check({"farewell", dir + "/mine"}, options);
    EXPECT_TRUE(exited_with(refused.status, 2)) << refused.status;
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "check/run: cannot run " + dir +
                               "/mine: it is not executable (chmod +x " + dir + "/mine)\n");
}

namespace {
// A typical mistake in a lab task: the reference solution with one change, and the
// expectation that must fail for it, on every run.
struct Mistake {
    const char *name;
    const char *task;
    const char *from; // a text of lab/solutions/TASK.cpp
    const char *to;   // what replaces it
    const char *caught_by;
};

class TaskMistake : public ProcessTest, public ::testing::WithParamInterface<Mistake> {};
} // namespace

TEST_P(TaskMistake, FailsTheExpectationThatNamesIt)
{
    const Mistake &m = GetParam();
    const std::string solution = std::string(SOURCE_DIR) + "/lab/solutions/" + m.task + ".cpp";
    if (!exists(solution)) {
        GTEST_SKIP() << "no reference solutions in this copy";
    }
    std::string source = read_file(solution);
    ASSERT_NE(source.find(m.from), std::string::npos) << m.from;
    source.replace(source.find(m.from), strlen(m.from), m.to);
    const std::string dir = temp_dir();
    write_file(dir + "/" + m.task + ".cpp", source);
    const Result built =
        run({CXX_COMPILER, "-std=c++20", "-DCYCLES=5", "-DINTERVAL_SECONDS=1", "-DLAST_HUP_CYCLE=6",
             "-o", dir + "/" + m.task, dir + "/" + m.task + ".cpp"});
    ASSERT_TRUE(exited_with(built.status, 0)) << built.err;
    Options options;
    options.env = {std::string("CHECK_BUILD_DIR=") + TOUR_BUILD_DIR};
    const Result r = check({"--only", m.caught_by, m.task, dir + "/" + m.task}, options);
    EXPECT_TRUE(exited_with(r.status, 1)) << r.out << r.err;
    EXPECT_NE(r.out.find("\nFAILED       ["), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Lab, TaskMistake,
    ::testing::Values(Mistake{"SpinsInsteadOfSleeping", "kill_flag", "sigsuspend(&waiting);",
                              "sigprocmask(SIG_SETMASK, &waiting, nullptr);"
                              "sigprocmask(SIG_BLOCK, &demo_signals, nullptr);",
                              "Executables/NaturalRun.*"},
                      Mistake{"PausesWithTheSignalsOpen", "kill_flag", "sigsuspend(&waiting);",
                              "sigprocmask(SIG_SETMASK, &waiting, nullptr); pause();"
                              "sigprocmask(SIG_BLOCK, &demo_signals, nullptr);",
                              "ProcessTest.KillFlagLosesNoSignalThatComesJustBeforeItSleeps"},
                      Mistake{"LastWaitDoesNotWait", "kill_wait", "waitpid(child, &status, 0)",
                              "waitpid(child, &status, WNOHANG)",
                              "ProcessTest.KillWaitWaitsForAChildSlowToEnd"},
                      Mistake{"FlushesInItsSigchldHandler", "kill_wait",
                              "signal(SIGCHLD, SIG_DFL);",
                              "signal(SIGCHLD, [](int) { fflush(stdout); });",
                              "ProcessTest.KillWaitCallsNoStdioOrMallocInASigchldHandler"},
                      Mistake{"NoFlushBeforeItsEnd", "farewell_lost", "fflush(stdout) == EOF",
                              "false", "ProcessTest.FarewellLost*"}),
    [](const ::testing::TestParamInfo<Mistake> &param) { return std::string(param.param.name); });
