// The guided tour as a learner runs it, against this build's programs (TOUR_BUILD_DIR, so
// that no test builds build/demos): each demonstration's narration, then the same run from
// the kernel's side, its events in the order they happened. strace and valgrind must be
// installed, as in CI.
#include "harness.hpp"

#include <cctype>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

using namespace harness;

namespace {
struct Tour {
    const char *name = "";
    std::vector<std::string> demonstrations;
    int status = 0;
    // On standard output, each after the one before; none at all means no output at all.
    // "@name" stands for a word of letters and digits: whatever word is there the first
    // time, the same word every time after.
    std::vector<std::string> in_order;
    std::vector<std::string> never; // nowhere on standard output, "@name" as bound above
    std::string err;
};

class TourRun : public ProcessTest, public ::testing::WithParamInterface<Tour> {};

void PrintTo(const Tour &tour, std::ostream *os)
{
    *os << tour.name;
}

using Words = std::map<std::string, std::string>;

bool in_word(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// The end of pattern matched at text[at], or npos; a match adds the words it binds.
size_t match_at(const std::string &text, size_t at, const std::string &pattern, Words &words)
{
    Words bound = words;
    for (size_t p = 0; p < pattern.size();) {
        if (pattern[p] != '@') {
            if (at >= text.size() || text[at] != pattern[p]) {
                return std::string::npos;
            }
            ++at;
            ++p;
            continue;
        }
        size_t name_end = p + 1;
        while (name_end < pattern.size() && in_word(pattern[name_end])) {
            ++name_end;
        }
        size_t word_end = at;
        while (word_end < text.size() && in_word(text[word_end])) {
            ++word_end;
        }
        const std::string name = pattern.substr(p + 1, name_end - p - 1);
        const std::string word = text.substr(at, word_end - at);
        const auto [known, added] = bound.emplace(name, word);
        if (word.empty() || (!added && known->second != word)) {
            return std::string::npos;
        }
        at = word_end;
        p = name_end;
    }
    words = bound;
    return at;
}

size_t find_from(const std::string &text, size_t from, const std::string &pattern, Words &words)
{
    for (size_t at = from; at < text.size(); ++at) {
        const size_t end = match_at(text, at, pattern, words);
        if (end != std::string::npos) {
            return end;
        }
    }
    return std::string::npos;
}

std::string with_words(std::string pattern, const Words &words)
{
    for (const auto &[name, word] : words) {
        for (size_t at; (at = pattern.find('@' + name)) != std::string::npos;) {
            pattern.replace(at, name.size() + 1, word);
        }
    }
    return pattern;
}
} // namespace

TEST_P(TourRun, ShowsEachRunAndItsEventsInOrder)
{
    const Tour &tour = GetParam();
    std::vector<std::string> argv = {"/bin/bash", TOUR_RUN};
    argv.insert(argv.end(), tour.demonstrations.begin(), tour.demonstrations.end());
    Options options;
    options.env = {std::string("TOUR_BUILD_DIR=") + TOUR_BUILD_DIR};
    const Result r = run(argv, options);

    EXPECT_TRUE(exited_with(r.status, tour.status)) << r.status;
    EXPECT_EQ(r.err, tour.err);
    if (tour.in_order.empty()) {
        EXPECT_EQ(r.out, "");
    }
    Words words;
    size_t at = 0;
    for (const std::string &event : tour.in_order) {
        const size_t end = find_from(r.out, at, event, words);
        ASSERT_NE(end, std::string::npos) << "not found in order: " << event << "\n" << r.out;
        at = end;
    }
    for (const std::string &event : tour.never) {
        EXPECT_EQ(r.out.find(with_words(event, words)), std::string::npos) << event << "\n"
                                                                           << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tour, TourRun,
    ::testing::Values(
        // On a pseudo-terminal standard output is line buffered: the first line is written
        // while main() runs, the greeting only on the exit path.
        Tour{"farewell",
             {"farewell"},
             0,
             {"== farewell: ", "\nProgram is exiting...\nFile closed.\n",
              "The bytes of output.txt (14 of them):",
              "  openat(AT_FDCWD, \"output.txt\", O_WRONLY|O_CREAT|O_TRUNC, 0666) = @file\n",
              "  write(1, \"Program is exiting...\\n\", 22) = 22\n",
              "  write(@file, \"Hello, Zorvi!\\n\", 14) = 14\n", "  close(@file) = 0\n",
              "  write(1, \"File closed.\\n\", 13) = 13\n", "  exit_group(0) = ?\n",
              "  +++ exited with 0 +++\n"},
             {"\r"},
             ""},
        // One run under valgrind: the narration, then every allocation. The one of 40 bytes
        // is never freed; the 4096 bytes are the C library's buffer for a stdout that is
        // a pipe.
        Tour{"leakdemo",
             {"leakdemo"},
             0,
             {"== leakdemo: ",
              "\nCreating a memory leak...\nMemory leak created.\n\nFixing the memory leak...\n"
              "Value at index 0: 0\nValue at index 1: 0\nValue at index 2: 0\n"
              "Value at index 3: 0\nValue at index 4: 0\nValue at index 5: 0\n"
              "Value at index 6: 0\nValue at index 7: 0\nValue at index 8: 0\n"
              "Value at index 9: 0\nMemory leak fixed.\n",
              "  malloc(4096) = @buffer ", "  malloc(40) = @leak ", "  calloc(10,4) = @zeroed ",
              "  free(@zeroed) ", "  free(@buffer) ", "  in use at exit: 40 bytes in 1 blocks\n",
              "  total heap usage: 3 allocs, 2 frees, 4,176 bytes allocated\n",
              ": create_memory_leak()", "  definitely lost: 40 bytes in 1 blocks\n"},
             {"free(@leak)", "  free(0x0)"},
             ""},
        // strace's record, cut to the parent and the child: watch's own calls are left out.
        Tour{"kill_a",
             {"kill_a"},
             0,
             {"== kill_a: ",
              "\nChild: Received SIGHUP signal from parent\n"
              "Child: Received SIGHUP signal from parent\n"
              "Child: Received SIGHUP signal from parent\n"
              "Child: Received SIGHUP signal from parent\n"
              "child: My DADDY has killed me !!!\n",
              "  parent is pid @parent, child is pid @child;",
              "  parent  rt_sigprocmask(SIG_BLOCK, [HUP INT QUIT], [], 8) = 0\n",
              "  parent  rt_sigaction(SIGCHLD, {sa_handler=SIG_DFL, ",
              "  parent  clone(",
              ") = <child>\n",
              "  child   rt_sigaction(SIGHUP, {sa_handler=0x",
              ", sa_mask=[HUP INT QUIT]}, ...) = 0\n",
              "  child   rt_sigprocmask(SIG_UNBLOCK, [HUP INT QUIT], NULL, 8) = 0\n",
              "  parent  kill(<child>, SIGHUP) = 0\n",
              "  child   --- SIGHUP {si_code=SI_USER, si_pid=<parent>, ",
              "  child   write(1, \"Child: Received SIGHUP signal from parent\\n\", 42) = 42\n",
              "  parent  kill(<child>, SIGHUP) = 0\n",
              "  parent  kill(<child>, SIGQUIT) = 0\n",
              "  child   --- SIGQUIT {si_code=SI_USER, si_pid=<parent>, ",
              "  child   write(1, \"child: My DADDY has killed me !!!\\n\", 34) = 34\n",
              "  child   exit_group(0) = ?\n",
              "  child   +++ exited with 0 +++\n",
              "  tour    wait4(-1, [{WIFEXITED(s) && WEXITSTATUS(s) == 0}], 0, NULL) = <child>\n"},
             {"SIGALRM", "kill(@child,", "si_pid=@parent,"},
             ""},
        // The notes go to the program's own calls, whatever calls the C library makes around
        // them inside fork(), and nothing of watch's fork is shown as the parent's. The
        // parent's lines alone, which come in one order on every release.
        Tour{"kill_a_notes",
             {"kill_a"},
             0,
             {"the parent's first call:\n   0.000  parent  rt_sigprocmask(SIG_BLOCK, ",
              "[HUP INT QUIT], [], 8) = 0\n                  the three signals blocked",
              "  parent  rt_sigaction(SIGCHLD, {sa_handler=SIG_DFL, ",
              "}, ...) = 0\n                  SIGCHLD at its default: a dead child stays a zombie",
              "  parent  clone(", ") = <child>\n                  the split: ",
              "  parent  rt_sigprocmask(SIG_SETMASK, ",
              "[], NULL, 8) = 0\n                  the parent takes its old mask back;",
              " its actions are what it inherited\n",
              "  parent  kill(<child>, SIGHUP) = 0\n                  a cycle: the parent wakes",
              "  child   --- SIGHUP {si_code=SI_USER, si_pid=<parent>, si_uid=@uid} ",
              "---\n                  the kernel delivers it; strace sees the sender (si_pid),",
              " the\n                  handler is not told\n"},
             {"~[], [HUP INT QUIT], 8) = 0\n                  the three signals",
              "[HUP INT QUIT], NULL, 8) = 0\n                  the parent takes", "default actions",
              "names the sender"},
             ""},
        // Refused before anything runs, the known name before it included.
        Tour{"UnknownName",
             {"farewell", "kill_d"},
             2,
             {},
             {},
             "tour/run: no demonstration named 'kill_d'; the names are kill_a kill_b kill_c "
             "leakdemo farewell\n"
             "usage: bash tour/run [--predict] [kill_a|kill_b|kill_c|leakdemo|farewell]...\n"},
        // The questions need someone to answer them.
        Tour{"PredictWithoutATerminal",
             {"--predict", "farewell"},
             2,
             {},
             {},
             "tour/run: --predict asks you questions before each run, so it needs a terminal: "
             "run it there, without redirecting its input or output\n"}),
    [](const ::testing::TestParamInfo<Tour> &param) { return std::string(param.param.name); });

namespace {
// A run drawn by tour/chart, as the picture shows it: the first texts drawn name the lanes
// (mscgen's) or the boxes around them (graphviz's), and each arrow's label is
// "WHAT (T s)" (mscgen, in time order) or "N. WHAT" (graphviz, which draws in its own order).
// Which of kill_a's two processes ends first, and so is reaped first, varies from run to run.
struct Chart {
    const char *name = "";
    std::vector<std::string> lanes;
    std::vector<std::string> arrows; // each WHAT, in the run's order; "@name" as in Tour
};

class TourChart : public ProcessTest, public ::testing::WithParamInterface<Chart> {};

void PrintTo(const Chart &chart, std::ostream *os)
{
    *os << chart.name;
}

std::vector<std::string> svg_texts(const std::string &svg)
{
    static const std::regex text("<text[^>]*>\\s*([^<]*?)\\s*</text>");
    static const std::vector<std::pair<std::string, std::string>> entities = {
        {"&quot;", "\""}, {"&#39;", "'"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}};
    std::vector<std::string> texts;
    for (std::sregex_iterator it(svg.begin(), svg.end(), text), end; it != end; ++it) {
        std::string t = (*it)[1];
        for (const auto &[entity, c] : entities) {
            for (size_t at; (at = t.find(entity)) != std::string::npos;) {
                t.replace(at, entity.size(), c);
            }
        }
        texts.push_back(t);
    }
    return texts;
}
} // namespace

TEST_P(TourChart, DrawsTheRunsLanesAndArrowsInOrder)
{
    const Chart &chart = GetParam();
    const std::string dir = temp_dir() + "/charts";
    Options options;
    options.env = {std::string("TOUR_BUILD_DIR=") + TOUR_BUILD_DIR};
    const Result r = run({"/bin/bash", SOURCE_DIR "/tour/chart", chart.name, dir}, options);
    ASSERT_TRUE(exited_with(r.status, 0)) << r.status << "\n" << r.err;
    const std::string svg = dir + "/" + chart.name + ".svg";
    EXPECT_EQ(r.out, svg + "\n");
    const std::vector<std::string> texts = svg_texts(read_file(svg));
    ASSERT_GE(texts.size(), chart.lanes.size());
    for (size_t i = 0; i < chart.lanes.size(); ++i) {
        EXPECT_EQ(texts[i], chart.lanes[i]);
    }
    static const std::regex timed("(.+) \\([0-9]+\\.[0-9]{3} s\\)");
    static const std::regex numbered("([0-9]+)\\. (.+)");
    std::map<int, std::string> arrows;
    for (const std::string &t : texts) {
        std::smatch m;
        if (std::regex_match(t, m, timed)) {
            arrows.emplace(static_cast<int>(arrows.size()) + 1, m[1]);
        } else if (std::regex_match(t, m, numbered)) {
            arrows.emplace(std::stoi(m[1]), m[2]);
        }
    }
    std::vector<std::string> in_order;
    for (const auto &[number, what] : arrows) {
        EXPECT_EQ(number, static_cast<int>(in_order.size()) + 1) << what;
        in_order.push_back(what);
    }
    ASSERT_EQ(in_order.size(), chart.arrows.size()) << testing::PrintToString(in_order);
    Words words;
    for (size_t i = 0; i < in_order.size(); ++i) {
        EXPECT_EQ(match_at(in_order[i], 0, chart.arrows[i], words), in_order[i].size())
            << in_order[i];
    }
    std::set<std::string> distinct; // each "@name" a word of its own: both processes reaped
    for (const auto &[name, word] : words) {
        EXPECT_TRUE(distinct.insert(word).second) << name << " is " << word << " again";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tour, TourChart,
    ::testing::Values(Chart{"kill_a",
                            {"parent", "child", "watch (the tour)"},
                            {"fork()", "SIGHUP", "SIGHUP", "SIGHUP", "SIGHUP", "SIGQUIT",
                             "the @first reaped by wait4()", "the @second reaped by wait4()"}},
                      Chart{"leakdemo",
                            {"the program", "the C library", "the heap"},
                            {"malloc(4096)", "malloc(40)", "calloc(10,4)", "free()", "free()"}},
                      Chart{"farewell",
                            {"main()", "exit(): the handlers, last registered first", "the kernel"},
                            {"openat(): created, empty", "write(1): Program is exiting...\\n",
                             "write(@file): Hello, Zorvi!\\n", "close(@file)",
                             "write(1): File closed.\\n", "close(1)"}}),
    [](const ::testing::TestParamInfo<Chart> &param) { return std::string(param.param.name); });

// The worksheet and the answer sheet, each one page that holds its charts and prints on A4,
// without the teacher's blocks.
class LabPrint : public ProcessTest {};

TEST_F(LabPrint, WritesEachPageWithItsChartsAndNoTeachersBlock)
{
    const std::string dir = temp_dir() + "/print";
    const Result r = run({"/bin/bash", SOURCE_DIR "/lab/print", dir});
    ASSERT_TRUE(exited_with(r.status, 0)) << r.status << "\n" << r.err;
    const bool answers = exists(SOURCE_DIR "/lab/answers.md");
    EXPECT_EQ(r.out, dir + "/worksheet.html\n" + (answers ? dir + "/answers.html\n" : ""));
    const std::string worksheet = read_file(dir + "/worksheet.html");
    // Each chart embedded: pandoc 2 and 3.11 (Debian testing) as an image of data, whose
    // attributes differ, pandoc 3.1 (Debian 13) as the SVG itself.
    size_t charts = 0;
    for (const char *embedded : {" src=\"data:image/svg+xml", "<svg "}) {
        for (size_t at = 0; (at = worksheet.find(embedded, at)) != std::string::npos; ++at) {
            ++charts;
        }
    }
    EXPECT_EQ(charts, 3u);
    for (const std::string &page : {worksheet, read_file(dir + "/answers.html")}) {
        EXPECT_EQ(page.find("teacher -->"), std::string::npos);
        EXPECT_TRUE(page.empty() || page.find("size: A4") != std::string::npos);
    }
}

namespace {
// Where a learner or a teacher may put the project, and what the tour must do there.
enum class Placement { ReadOnlyCopy, MovedCopy, TwoAtOnce };

struct Put {
    const char *name = "";
    Placement placement = Placement::ReadOnlyCopy;
    std::string err; // said on standard error, among whatever else
};

class TourPlaced : public ProcessTest, public ::testing::WithParamInterface<Put> {};

void PrintTo(const Put &put, std::ostream *os)
{
    *os << put.name;
}

// A copy of the checkout's tracked sources, without its builds, as a fresh clone has them.
std::string copy_checkout(const std::string &into)
{
    namespace fs = std::filesystem;
    const fs::path source = fs::path(TOUR_RUN).parent_path().parent_path();
    const fs::path copy = fs::path(into) / "os demonstrations"; // a space, as learners have
    fs::create_directory(copy);
    for (const auto &entry : fs::directory_iterator(source)) {
        const std::string name = entry.path().filename();
        if (name != "build" && name != ".git") {
            fs::copy(entry.path(), copy / name, fs::copy_options::recursive);
        }
    }
    return copy.string();
}

// Takes every write permission away from a tree, or gives the owner's back.
void set_writable(const std::string &tree, bool writable)
{
    namespace fs = std::filesystem;
    const fs::perms write =
        writable ? fs::perms::owner_write
                 : fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    const fs::perm_options how = writable ? fs::perm_options::add : fs::perm_options::remove;
    fs::permissions(tree, write, how);
    for (const auto &entry : fs::recursive_directory_iterator(tree)) {
        fs::permissions(entry.path(), write, how);
    }
}

const std::string farewell_narration = "\nProgram is exiting...\nFile closed.\n";
} // namespace

TEST_P(TourPlaced, BuildsWhereItCanAndRunsTheDemonstration)
{
    namespace fs = std::filesystem;
    const Put &put = GetParam();
    const std::string copy = copy_checkout(temp_dir());
    Options options;
    options.cwd = copy;
    std::vector<Result> runs;
    if (put.placement == Placement::ReadOnlyCopy) {
        // Not writable for the user who runs it (as root, for nobody: it drops to uid 65534),
        // which gets a home of its own for the per-user cache.
        const std::string home = temp_dir() + "/home";
        fs::create_directory(home);
        fs::permissions(home, fs::perms::all);
        options.env = {"HOME=" + home, "XDG_CACHE_HOME="};
        options.unprivileged = true;
        set_writable(copy, false);
        runs.push_back(run({"/bin/bash", "tour/run", "farewell"}, options));
        set_writable(copy, true);
        EXPECT_FALSE(fs::exists(copy + "/build")) << "the read-only copy was written to";
    } else if (put.placement == Placement::MovedCopy) {
        EXPECT_TRUE(exited_with(run({"/bin/bash", "setup/build", "demos"}, options).status, 0));
        fs::rename(copy, copy + " moved");
        options.cwd = copy + " moved";
        runs.push_back(run({"/bin/bash", "tour/run", "farewell"}, options));
    } else {
        const Process first = spawn({"/bin/bash", "tour/run", "farewell"}, options);
        const Process second = spawn({"/bin/bash", "tour/run", "farewell"}, options);
        for (const Process &p : {first, second}) {
            Result r;
            r.out = read_all(p.out, 120);
            r.err = read_all(p.err, 10);
            r.status = wait_for(p.pid, 10);
            runs.push_back(r);
        }
    }
    for (const Result &r : runs) {
        EXPECT_TRUE(exited_with(r.status, 0)) << r.status << "\n" << r.err;
        EXPECT_NE(r.out.find(farewell_narration), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(put.err), std::string::npos) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tour, TourPlaced,
    ::testing::Values(Put{"ReadOnlyCopy", Placement::ReadOnlyCopy,
                          "is not writable for you: building in "},
                      Put{"MovedCopy", Placement::MovedCopy, "/build/demos was made for "},
                      Put{"TwoAtOnce", Placement::TwoAtOnce, ""}),
    [](const ::testing::TestParamInfo<Put> &param) { return std::string(param.param.name); });

namespace {
class Script : public ProcessTest, public ::testing::WithParamInterface<const char *> {};
} // namespace

// Every script of ours answers --help with its usage, and started with sh says to use bash.
TEST_P(Script, AnswersHelpAndRefusesPlainSh)
{
    Options options;
    options.cwd = std::filesystem::path(TOUR_RUN).parent_path().parent_path();
    const std::string script = GetParam();
    const Result help = run({"/bin/bash", script, "--help"}, options);
    EXPECT_TRUE(exited_with(help.status, 0)) << help.status << help.err;
    EXPECT_EQ(help.out.rfind("usage: bash " + script, 0), 0u) << help.out;
    const Result sh = run({"/bin/sh", script}, options);
    EXPECT_TRUE(exited_with(sh.status, 2)) << sh.status;
    EXPECT_EQ(sh.err, script + ": run it with bash: bash " + script + "\n");
}

INSTANTIATE_TEST_SUITE_P(Entry, Script,
                         ::testing::Values("tour/run", "tour/chart", "lab/print", "tests/run",
                                           "check/run", "check/sandbox", "experiments/run",
                                           "experiments/apply", "setup/build", "setup/need",
                                           "setup/release", "bench/signals.sh", "bench/startup.sh",
                                           ".ci/run", "lab/handout", "lab/submit"),
                         [](const ::testing::TestParamInfo<const char *> &param) {
                             std::string name = param.param;
                             for (char &c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
                             }
                             return name;
                         });
