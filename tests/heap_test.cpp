#include "harness.hpp"

#include <sstream>

using namespace harness;

namespace {
std::string narration()
{
    std::string text =
        "Creating a memory leak...\nMemory leak created.\n\nFixing the memory leak...\n";
    for (int i = 0; i < 10; ++i) {
        text += "Value at index " + std::to_string(i) + ": 0\n";
    }
    return text + "Memory leak fixed.\n";
}

struct FailedCall {
    const char *call;
    size_t lines_before; // narration lines written before the failing allocation
};

class FailedAllocation : public ProcessTest, public ::testing::WithParamInterface<FailedCall> {};

const char *const heap_readme = "heap/README.md, \"How it behaves, and why\"";
} // namespace

EXPECTATION(ProcessTest, LeakdemoNarratesFifteenLinesIntoAPipeAndIntoAFile,
            {"leakdemo",
             "The fifteen lines, all values 0, through a pipe, into a file and at a terminal "
             "alike, whatever the arguments; nothing on standard error; status 0",
             heap_readme, ""})
TEST_F(ProcessTest, LeakdemoNarratesFifteenLinesIntoAPipeAndIntoAFile)
{
    const Result piped = run({program("leakdemo"), "ignored", "arguments"}, {}, program_time);
    EXPECT_BYTES("through a pipe, standard output", piped.out, narration());
    EXPECT_BYTES("through a pipe, standard error", piped.err, "");
    EXPECT_ENDS("through a pipe, the program", piped.status, exited(0));

    Options options;
    options.stdout_path = temp_dir() + "/narration";
    const Result filed = run({program("leakdemo")}, options, program_time);
    EXPECT_BYTES("into a file, standard output", read_file(options.stdout_path), narration());
    EXPECT_ENDS("into a file, the program", filed.status, exited(0));

    Options terminal;
    terminal.terminal = true;
    const Result shown = run({program("leakdemo")}, terminal, program_time);
    EXPECT_BYTES("at a terminal, standard output", shown.out, narration());
    EXPECT_ENDS("at a terminal, the program", shown.status, exited(0));
}

EXPECTATION(ProcessTest, LeakdemoReportsAStandardOutputThatCannotBeWritten,
            {"leakdemo",
             "A standard output that cannot be written (a full disk) is reported: "
             "\"standard output: No space left on device\" and status 1",
             heap_readme, "unchecked-leakdemo-output"})
TEST_F(ProcessTest, LeakdemoReportsAStandardOutputThatCannotBeWritten)
{
    Options options;
    options.stdout_path = "/dev/full";
    const Result r = run({program("leakdemo")}, options, program_time);
    EXPECT_BYTES("standard error", r.err, "standard output: No space left on device\n");
    EXPECT_ENDS("the program", r.status, exited(1));
}

// A preloaded allocator refuses the one request, as a real allocator out of memory would.
EXPECTATION(FailedAllocation, IsReportedAndNeverUsed,
            {"leakdemo",
             "An allocation that fails is reported (\"malloc: Cannot allocate memory\" or "
             "\"calloc: ...\") with status 1, after only the lines before it, and the block "
             "is never used",
             heap_readme, ""})
TEST_P(FailedAllocation, IsReportedAndNeverUsed)
{
    RecordProperty("case", std::string(GetParam().call) +
                               (GetParam().lines_before == 1 ? "(40) fails" : "(10, 4) fails"));
    const std::string mark = temp_dir() + "/refused";
    Options options;
    options.env = {std::string("LD_PRELOAD=") + FAIL_ALLOCATION_LIBRARY,
                   std::string("FAIL_ALLOCATION=") + GetParam().call,
                   "FAIL_ALLOCATION_MARK=" + mark, "ASAN_OPTIONS=verify_asan_link_order=0"};
    const Result r = run({program("leakdemo")}, options, program_time);
    if (!exists(mark)) {
        NOT_CHECKED(std::string("the library that makes the allocation fail saw no ") +
                    (GetParam().lines_before == 1 ? "malloc(40)" : "calloc(10, 4)") +
                    ": the program is statically linked, or asks the C library for its ten "
                    "integers otherwise");
    }
    std::string before;
    std::istringstream lines(narration());
    for (size_t i = 0; i < GetParam().lines_before; ++i) {
        std::string line;
        std::getline(lines, line);
        before += line + "\n";
    }
    EXPECT_BYTES("standard output", r.out, before);
    EXPECT_BYTES("standard error", r.err,
                 std::string(GetParam().call) + ": Cannot allocate memory\n");
    EXPECT_ENDS("the program", r.status, exited(1));
}

INSTANTIATE_TEST_SUITE_P(Leakdemo, FailedAllocation,
                         ::testing::Values(FailedCall{"malloc", 1}, FailedCall{"calloc", 4}),
                         [](const ::testing::TestParamInfo<FailedCall> &param) {
                             return std::string(param.param.call);
                         });

#ifdef DEMO_SANITIZE
// The tests run with the intended leak suppressed by name; unsuppressed, LeakSanitizer
// must find that one leak and nothing else.
TEST_F(ProcessTest, LeakSanitizerFindsExactlyTheIntendedLeak)
{
    Options options;
    options.env = {"LSAN_OPTIONS=exitcode=23"}; // told apart from leakdemo's own status 1
    const Result r = run({LEAKDEMO}, options);
    EXPECT_EQ(r.out, narration());
    EXPECT_TRUE(exited_with(r.status, 23)) << r.status;
    EXPECT_NE(r.err.find("Direct leak of 40 byte(s) in 1 object(s) allocated from:"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(" in create_memory_leak "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("SUMMARY: AddressSanitizer: 40 byte(s) leaked in 1 allocation(s).\n"),
              std::string::npos)
        << r.err;
}
#else
namespace {
// Self cost of a function in valgrind's allocation tree (callgrind format): bytes and
// blocks in use at exit, then allocated in all. (What it frees depends on inlining: an
// optimized free() is a tail call and counts for the caller.)
std::vector<long> allocated_in(const std::string &xtree, const std::string &function)
{
    std::vector<long> cost(4, 0);
    std::istringstream in(xtree);
    std::string line;
    std::string id; // "(N)", valgrind's short name for the function
    bool inside = false;
    bool call_cost = false;
    while (std::getline(in, line)) {
        const auto named = line.find(") " + function);
        if (id.empty() && named != std::string::npos && line.find('(') < named) {
            id = line.substr(line.find('('), named - line.find('(') + 1);
        }
        if (line.rfind("fn=", 0) == 0) {
            inside = !id.empty() && line.compare(3, id.size(), id) == 0;
        } else if (line.rfind("calls=", 0) == 0) {
            call_cost = true; // the next line is a callee's cost, not this function's
        } else if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) != 0) {
            std::istringstream numbers(line);
            long position = 0;
            numbers >> position;
            for (long &c : cost) {
                long value = 0;
                numbers >> value;
                c += inside && !call_cost ? value : 0;
            }
            call_cost = false;
        }
    }
    return cost;
}

class Tracker : public ProcessTest, public ::testing::WithParamInterface<std::string> {};

// The program as built and, for this build, a copy built at -O3.
std::vector<std::string> tracked()
{
    std::vector<std::string> builds = {program("leakdemo")};
    if (own_build()) {
        builds.emplace_back(LEAKDEMO_OPTIMIZED);
    }
    return builds;
}

// valgrind's own summary lines, which follow its "==<pid>== " prefix.
std::string summary_of(const std::string &log)
{
    std::string summary;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        for (const char *key :
             {"total heap usage:", "definitely lost:", "indirectly lost:", "possibly lost:",
              "still reachable:", "ERROR SUMMARY:", "are definitely lost", "Invalid ",
              "uninitialised", "All heap blocks were freed"}) {
            const auto at = line.find("== ");
            if (line.find(key) != std::string::npos && at != std::string::npos) {
                summary += line.substr(at + 3) + "\n";
                break;
            }
        }
    }
    return summary;
}
} // namespace

// The leak must be real in every build: an optimizer that deleted either allocation would
// leave the tracker nothing to see.
EXPECTATION(Tracker, SeesOneLostBlockFromCreateMemoryLeakAndAFreedCalloc,
            {"leakdemo",
             "Under valgrind, exactly one block of 40 bytes is definitely lost, nothing else "
             "is lost, nothing is still reachable, no access is invalid, and the zero-filled "
             "block is freed",
             "heap/README.md, \"Under an allocation tracker\"", "no-volatile-leak"})
TEST_P(Tracker, SeesOneLostBlockFromCreateMemoryLeakAndAFreedCalloc)
{
    if (!exists("/usr/bin/valgrind")) {
        NOT_CHECKED("valgrind is not installed (Debian package valgrind)");
    }
    const std::string xtree = temp_dir() + "/xtree";
    const Result r = run({"/usr/bin/valgrind", "--leak-check=full", "--trace-malloc=yes",
                          "--xtree-memory=full", "--xtree-memory-file=" + xtree, GetParam()},
                         {}, program_time);
    const std::string summary = summary_of(r.err);
    if (summary.find("total heap usage: 0 allocs") != std::string::npos) {
        NOT_CHECKED("valgrind saw no allocation at all: a statically linked program hides "
                    "them from it");
    }
    EXPECT_BYTES("under valgrind, standard output", r.out, narration());
    EXPECT_ENDS("under valgrind, the program", r.status, exited(0));

    bool holds = r.err.find("40 bytes in 1 blocks are definitely lost") != std::string::npos;
    for (const char *line :
         {"definitely lost: 40 bytes in 1 blocks", "indirectly lost: 0 bytes in 0 blocks",
          "possibly lost: 0 bytes in 0 blocks", "still reachable: 0 bytes in 0 blocks",
          "ERROR SUMMARY: 1 errors from 1 contexts"}) {
        holds = holds && r.err.find(line) != std::string::npos;
    }
    EXPECT_HOLDS(holds) << "valgrind: expected\n"
                        << shown("definitely lost: 40 bytes in 1 blocks\nindirectly lost: 0 "
                                 "bytes in 0 blocks\npossibly lost: 0 bytes in 0 blocks\nstill "
                                 "reachable: 0 bytes in 0 blocks\nERROR SUMMARY: 1 errors from "
                                 "1 contexts\n")
                        << "  seen\n"
                        << shown(summary);
    const auto calloc_at = r.err.find("calloc(10,4) = ");
    const std::string block =
        calloc_at == std::string::npos
            ? "none"
            : r.err.substr(calloc_at + 15, r.err.find('\n', calloc_at) - calloc_at - 15);
    EXPECT_HOLDS(r.err.find("free(" + block + ")") != std::string::npos)
        << "valgrind: expected a calloc(10, 4) and a free() of its block; seen "
        << (calloc_at == std::string::npos ? "no calloc(10, 4)" : "it never freed");

    // This build is also held to where each block was allocated.
    if (own_build()) {
        EXPECT_NE(r.err.find(": create_memory_leak()"), std::string::npos) << r.err;
        const std::string tree = read_file(xtree);
        EXPECT_EQ(allocated_in(tree, "create_memory_leak()"), (std::vector<long>{40, 1, 40, 1}));
        EXPECT_EQ(allocated_in(tree, "fix_memory_leak()"), (std::vector<long>{0, 0, 40, 1}));
    }
}

INSTANTIATE_TEST_SUITE_P(Leakdemo, Tracker, ::testing::ValuesIn(tracked()),
                         [](const ::testing::TestParamInfo<std::string> &param) {
                             return param.index == 0 ? "AsBuilt" : "AtO3";
                         });
#endif
