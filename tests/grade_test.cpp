// lab/grade, the teacher's: two hand-ins from a student edition regraded, one correct and
// one with a mistake, the same USER@HOST in both flagged; a hostile or broken archive
// refused, with nothing written outside the grading's own folder.
#include "harness.hpp"

#include <pwd.h>
#include <unistd.h>

using namespace harness;

namespace {
std::string grade_csv(const std::string &dir, int *status)
{
    Options options;
    options.env = {std::string("CHECK_BUILD_DIR=") + TOUR_BUILD_DIR};
    const Result r = run(
        {"/bin/bash", std::string(SOURCE_DIR) + "/lab/grade", "--unsandboxed", dir}, options, 60);
    *status = r.status;
    return read_file(dir + "/grades.csv");
}

// Each archive is made member by member with Python's tarfile, which writes what GNU tar
// would refuse to: KIND names what is wrong in it.
const char *const craft = R"(
import io, sys, tarfile
kind, path = sys.argv[1:]
if kind == "notgzip":
    open(path, "w").write("not an archive\n"); sys.exit()
def member(name, size=1, **fields):
    info = tarfile.TarInfo(name); info.size = size
    for key, value in fields.items(): setattr(info, key, value)
    return info
with tarfile.open(path, "w:gz") as tar:
    tar.addfile(member("answers.md"), io.BytesIO(b"x"))
    if kind == "many":
        for i in range(64): tar.addfile(member("d%d" % i, 0, type=tarfile.DIRTYPE))
    else:
        info = {"absolute": member("/tmp/evil"), "dotdot": member("sources/../../evil"),
                "symlink": member("sources/kill_wait.c", 0, type=tarfile.SYMTYPE, linkname="/etc/shadow"),
                "hardlink": member("sources/kill_wait.c", 0, type=tarfile.LNKTYPE, linkname="/etc/shadow"),
                "device": member("sources/kill_wait.c", 0, type=tarfile.CHRTYPE),
                "large": member("predictions.md", (1 << 20) + 1)}[kind]
        tar.addfile(info, io.BytesIO(b"x" * info.size))
)";

struct Refusal {
    const char *kind;
    const char *why; // the note in every row of the archive's student
};
const Refusal refusals[] = {
    // In the order of the rows: by student.
    {"absolute", "it holds an absolute path: /tmp/evil"},
    {"device", "it holds a device or pipe: sources/kill_wait.c"},
    {"dotdot", "it holds a path with '..': sources/../../evil"},
    {"hardlink", "it holds a link: sources/kill_wait.c -> /etc/shadow"},
    {"large", "it holds a member of 1048577 bytes (at most 1048576): predictions.md"},
    {"many", "more than 64 members"},
    {"notgzip", "it cannot be read as a .tar.gz: not a gzip file"},
    {"symlink", "it holds a link: sources/kill_wait.c -> /etc/shadow"},
};
} // namespace

const std::string header =
    "student,task,held,failed,not_checked,total,failed_expectations,mismatch,note\n";

TEST_F(ProcessTest, GradeRegradesAClassAndFlagsTheSameStudentTwice)
{
    // farewell_lost right, from the reference solutions; without its fflush() the line is
    // lost in a pipe.
    const std::string right = std::string(SOURCE_DIR) + "/lab/solutions/farewell_lost.cpp";
    if (!exists(right)) {
        GTEST_SKIP() << "the lab's reference solutions are not in this copy (lab/solutions/)";
    }
    const std::string dir = temp_dir();
    ASSERT_TRUE(exited_with(
        run({"/bin/bash", std::string(SOURCE_DIR) + "/lab/handout", dir + "/edition"}).status, 0));
    Options student;
    student.cwd = dir + "/edition";
    student.env = {std::string("CHECK_BUILD_DIR=") + TOUR_BUILD_DIR};
    write_file(dir + "/edition/lab/mine/answers.md", "2.1a: <b>bold</b>\n");
    std::string wrong = read_file(right);
    wrong.replace(wrong.find("fflush(stdout)"), 14, "0");
    for (const auto &[hand_in, source] :
         {std::pair{"right", read_file(right)}, std::pair{"wrong", wrong}}) {
        write_file(dir + "/edition/lab/mine/farewell_lost.cpp", source);
        const std::string out = dir + "/" + hand_in;
        ASSERT_TRUE(exited_with(run({"/bin/mkdir", out}).status, 0));
        const Result r =
            run({"/bin/bash", "lab/submit", "--unsandboxed", "--output", out}, student, 60);
        ASSERT_TRUE(exited_with(r.status, 0)) << r.out << r.err;
        ASSERT_TRUE(exited_with(run({"/bin/sh", "-c", "mv \"$0\"/lab-*.tar.gz \"$1\"", out,
                                     dir + "/lab-" + hand_in + ".tar.gz"})
                                    .status,
                                0));
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string who = std::string(getpwuid(getuid())->pw_name) + "@" + host;
    const std::string left = ",0,0,0,0,,same student as lab-";
    int status = -1;
    EXPECT_EQ(grade_csv(dir, &status),
              header + who + ",kill_wait" + left + "wrong.tar.gz,not attempted\n" + who +
                  ",kill_flag" + left + "wrong.tar.gz,not attempted\n" + who +
                  ",farewell_lost,1,0,0,1,,same student as lab-wrong.tar.gz,\n" + who +
                  ",kill_wait" + left + "right.tar.gz,not attempted\n" + who + ",kill_flag" + left +
                  "right.tar.gz,not attempted\n" + who +
                  ",farewell_lost,0,1,0,1,ProcessTest.FarewellLostLosesTheGreetingButNotItsOwnLine,"
                  "same student as lab-right.tar.gz,\n");
    EXPECT_TRUE(exited_with(status, 0));
}

TEST_F(ProcessTest, GradeRefusesAnArchiveThatWouldWriteOutsideOrTooMuch)
{
    const std::string dir = temp_dir();
    ASSERT_TRUE(exited_with(run({"/bin/mkdir", dir + "/class"}).status, 0));
    std::string expected = header;
    for (const Refusal &r : refusals) {
        const std::string archive = dir + "/class/lab-" + r.kind + "@host-20261209-120000.tar.gz";
        ASSERT_TRUE(exited_with(run({"/usr/bin/python3", "-c", craft, r.kind, archive}).status, 0));
        for (const char *task : {"kill_wait", "kill_flag", "farewell_lost"}) {
            expected += std::string(r.kind) + "@host," + task +
                        ",0,0,0,0,,,archive refused: " + r.why + "\n";
        }
    }
    int status = -1;
    EXPECT_EQ(grade_csv(dir + "/class", &status), expected);
    EXPECT_TRUE(exited_with(status, 1));
    EXPECT_FALSE(exists("/tmp/evil") || exists(dir + "/evil"));
}
