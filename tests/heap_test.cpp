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
} // namespace

TEST_F(ProcessTest, LeakdemoNarratesFifteenLinesIntoAPipeAndIntoAFile)
{
    const Result piped = run({LEAKDEMO, "ignored", "arguments"});
    EXPECT_EQ(piped.out, narration());
    EXPECT_EQ(piped.err, "");
    EXPECT_TRUE(exited_with(piped.status, 0)) << piped.status;

    Options options;
    options.stdout_path = temp_dir() + "/narration";
    const Result filed = run({LEAKDEMO}, options);
    EXPECT_EQ(read_file(options.stdout_path), narration());
    EXPECT_TRUE(exited_with(filed.status, 0)) << filed.status;
}

TEST_F(ProcessTest, LeakdemoReportsAStandardOutputThatCannotBeWritten)
{
    Options options;
    options.stdout_path = "/dev/full";
    const Result r = run({LEAKDEMO}, options);
    EXPECT_EQ(r.err, "standard output: No space left on device\n");
    EXPECT_TRUE(exited_with(r.status, 1)) << r.status;
}

// A preloaded allocator refuses the one request, as a real allocator out of memory would.
TEST_P(FailedAllocation, IsReportedAndNeverUsed)
{
    Options options;
    options.env = {std::string("LD_PRELOAD=") + FAIL_ALLOCATION_LIBRARY,
                   std::string("FAIL_ALLOCATION=") + GetParam().call,
                   "ASAN_OPTIONS=verify_asan_link_order=0"};
    const Result r = run({LEAKDEMO}, options);
    std::string before;
    std::istringstream lines(narration());
    for (size_t i = 0; i < GetParam().lines_before; ++i) {
        std::string line;
        std::getline(lines, line);
        before += line + "\n";
    }
    EXPECT_EQ(r.out, before);
    EXPECT_EQ(r.err, std::string(GetParam().call) + ": Cannot allocate memory\n");
    EXPECT_TRUE(exited_with(r.status, 1)) << r.status;
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

class Tracker : public ProcessTest, public ::testing::WithParamInterface<const char *> {};
} // namespace

// The leak must be real in every build: an optimizer that deleted either allocation would
// leave the tracker nothing to see.
TEST_P(Tracker, SeesOneLostBlockFromCreateMemoryLeakAndAFreedCalloc)
{
    const std::string xtree = temp_dir() + "/xtree";
    const Result r = run({"/usr/bin/valgrind", "--leak-check=full", "--trace-malloc=yes",
                          "--xtree-memory=full", "--xtree-memory-file=" + xtree, GetParam()});
    EXPECT_EQ(r.out, narration());
    EXPECT_TRUE(exited_with(r.status, 0)) << r.status;

    EXPECT_NE(r.err.find("40 bytes in 1 blocks are definitely lost"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(": create_memory_leak()"), std::string::npos) << r.err;
    for (const char *summary :
         {"definitely lost: 40 bytes in 1 blocks", "indirectly lost: 0 bytes in 0 blocks",
          "possibly lost: 0 bytes in 0 blocks", "still reachable: 0 bytes in 0 blocks",
          "ERROR SUMMARY: 1 errors from 1 contexts"}) {
        EXPECT_NE(r.err.find(summary), std::string::npos) << summary << "\n" << r.err;
    }
    const auto calloc_at = r.err.find("calloc(10,4) = ");
    ASSERT_NE(calloc_at, std::string::npos) << r.err;
    const std::string block =
        r.err.substr(calloc_at + 15, r.err.find('\n', calloc_at) - calloc_at - 15);
    EXPECT_NE(r.err.find("free(" + block + ")"), std::string::npos) << block;

    const std::string tree = read_file(xtree);
    EXPECT_EQ(allocated_in(tree, "create_memory_leak()"), (std::vector<long>{40, 1, 40, 1}));
    EXPECT_EQ(allocated_in(tree, "fix_memory_leak()"), (std::vector<long>{0, 0, 40, 1}));
}

INSTANTIATE_TEST_SUITE_P(Leakdemo, Tracker, ::testing::Values(LEAKDEMO, LEAKDEMO_OPTIMIZED),
                         [](const ::testing::TestParamInfo<const char *> &param) {
                             return param.index == 0 ? "AsBuilt" : "AtO3";
                         });
#endif
