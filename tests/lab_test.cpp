// The lab's teacher side: lab/handout makes a student edition that holds no answer and in
// which a task's check still runs; lab/submit packs the student's work and nothing else.
// Both use the checks of this build (CHECK_BUILD_DIR), not a build of their own.
#include "harness.hpp"

#include <filesystem>

using namespace harness;

namespace {
// A correct task source from the full project's reference solutions: a student edition has
// none, and holds no correct answer in its tests either.
std::string solution(const std::string &name)
{
    const std::string path = std::string(SOURCE_DIR) + "/lab/solutions/" + name;
    return exists(path) ? read_file(path) : "";
}
const char *const no_solutions =
    "the lab's reference solutions are not in this copy (lab/solutions/)";

std::string last_line(const std::string &text)
{
    const auto end = text.find_last_not_of('\n');
    const auto start = text.rfind('\n', end);
    return end == std::string::npos ? "" : text.substr(start + 1, end - start);
}

class Lab : public ProcessTest {
  protected:
    // A student edition made by lab/handout, and the environment its commands run in.
    std::string edition()
    {
        std::string dir = temp_dir() + "/edition";
        const Result r = run({"/bin/bash", std::string(SOURCE_DIR) + "/lab/handout", dir});
        EXPECT_TRUE(exited_with(r.status, 0)) << r.out << r.err;
        options.cwd = dir;
        options.env = {std::string("CHECK_BUILD_DIR=") + TOUR_BUILD_DIR};
        return dir;
    }
    Options options;
};
} // namespace

TEST_F(Lab, HandoutHoldsNoAnswerAndATaskCheckRunsInIt)
{
    edition();
    const Result files = run({"/bin/sh", "-c",
                              "git rev-list --count HEAD; git ls-files | grep -E "
                              "'^lab/(key|TEACHER|grade|ready|solutions/)|^experiments/lab-'; "
                              "git grep -c '^<!-- teacher -->$'; git status --porcelain"},
                             options);
    EXPECT_EQ(files.out, "1\n") << "expected one commit, no answer, no teacher's block";

    // The built reference solution, where this copy has the solutions (empty where not).
    const std::string program = FAREWELL_LOST;
    if (!exists(program)) {
        GTEST_SKIP() << no_solutions;
    }
    const Result r =
        run({"/bin/bash", "check/run", "--unsandboxed", "farewell_lost", program}, options, 60);
    EXPECT_TRUE(exited_with(r.status, 0)) << r.out << r.err;
    EXPECT_EQ(
        last_line(r.out).rfind("farewell_lost " + program + ": 1 of 1 expectations hold (", 0), 0u)
        << r.out << r.err;
}

TEST_F(Lab, SubmitPacksWhatItShouldAndNothingElse)
{
    const std::string dir = edition();
    write_file(dir + "/lab/mine/answers.md", "2.1a: five\n");
    write_file(dir + "/lab/mine/kill_wait.c", "");
    write_file(dir + "/lab/mine/kill_wait.sh", "#!/bin/sh\n");
    const Result two = run({"/bin/bash", "lab/submit", "--unsandboxed"}, options);
    EXPECT_TRUE(exited_with(two.status, 2)) << two.out << two.err;
    EXPECT_EQ(two.err, "lab/submit: two sources for kill_wait: lab/mine/kill_wait.c and "
                       "lab/mine/kill_wait.sh: keep one in lab/mine/, move the other out\n");

    std::filesystem::remove(dir + "/lab/mine/kill_wait.c");
    std::filesystem::remove(dir + "/lab/mine/kill_wait.sh");
    const std::string farewell_lost = solution("farewell_lost.cpp");
    if (farewell_lost.empty()) {
        GTEST_SKIP() << no_solutions;
    }
    write_file(dir + "/lab/mine/farewell_lost.cpp", farewell_lost);
    write_file(dir + "/lab/mine/notes.txt", "not handed in\n");
    const Result r = run({"/bin/bash", "lab/submit", "--unsandboxed"}, options, 60);
    ASSERT_TRUE(exited_with(r.status, 0)) << r.out << r.err;
    const std::string archive = last_line(r.out);
    EXPECT_EQ(archive.rfind(dir + "/lab/mine/lab-", 0), 0u) << r.out;
    const Result listed =
        run({"/bin/sh", "-c",
             "tar -tzf \"$0\"; tar -xzOf \"$0\" manifest.json | /usr/bin/python3 -c 'import "
             "hashlib, json, sys; t = json.load(sys.stdin)[\"tasks\"]; f = t[\"farewell_lost\"]; "
             "print(t[\"kill_wait\"], f[\"status\"], f[\"source_sha256\"] == "
             "hashlib.sha256(open(\"lab/mine/farewell_lost.cpp\", \"rb\").read()).hexdigest())'",
             archive},
            options);
    EXPECT_EQ(listed.out, "manifest.json\nanswers.md\nsources/farewell_lost.cpp\n"
                          "checks/farewell_lost.txt\nchecks/farewell_lost.json\n"
                          "{'attempted': False} 0 True\n")
        << listed.err;
}
