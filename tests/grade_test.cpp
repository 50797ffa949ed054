// lab/grade, the teacher's: a hostile or broken archive is refused, member by member, with
// nothing written outside the grading's own folder, and the class's other archives graded.
#include "harness.hpp"

using namespace harness;

namespace {
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

TEST_F(ProcessTest, GradeRefusesAnArchiveThatWouldWriteOutsideOrTooMuch)
{
    const std::string dir = temp_dir();
    Options options;
    options.env = {std::string("CHECK_BUILD_DIR=") + TOUR_BUILD_DIR};
    ASSERT_TRUE(exited_with(run({"/bin/mkdir", dir + "/class"}).status, 0));
    std::string expected = "student,task,held,failed,not_checked,total,failed_expectations,"
                           "mismatch,note\n";
    for (const Refusal &r : refusals) {
        const std::string archive = dir + "/class/lab-" + r.kind + "@host-20261209-120000.tar.gz";
        ASSERT_TRUE(exited_with(run({"/usr/bin/python3", "-c", craft, r.kind, archive}).status, 0));
        for (const char *task : {"kill_wait", "kill_flag", "farewell_lost"}) {
            expected += std::string(r.kind) + "@host," + task +
                        ",0,0,0,0,,,archive refused: " + r.why + "\n";
        }
    }
    const Result graded =
        run({"/bin/bash", std::string(SOURCE_DIR) + "/lab/grade", dir + "/class"}, options, 60);
    EXPECT_TRUE(exited_with(graded.status, 1)) << graded.out << graded.err;
    EXPECT_EQ(read_file(dir + "/class/grades.csv"), expected);
    EXPECT_FALSE(exists("/tmp/evil") || exists(dir + "/evil"));
}
