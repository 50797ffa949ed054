#include "harness.hpp"

#include <filesystem>
#include <sys/stat.h>
#include <sys/syscall.h>

using namespace harness;

namespace {
const std::string greeting = "Hello, Zorvi!\n";
const std::string narration = "Program is exiting...\nFile closed.\n";
const char *const farewell_readme = "exit_handlers/README.md, \"How it behaves, and why\"";

// Each run in a fresh directory of its own, as the program writes into its working one.
class Farewell : public ProcessTest {
  protected:
    Result run_in_dir(Options options = {})
    {
        options.cwd = temp_dir();
        return run({program("farewell")}, options, program_time);
    }
    std::string output()
    {
        return read_file(temp_dir() + "/output.txt");
    }
};
} // namespace

// "File closed." comes from the exit handler after main() has returned: after the other
// line, whether stdout is a pipe or a file.
EXPECTATION(Farewell, NarratesInOrderAndStoresTheGreeting,
            {"farewell",
             "\"Program is exiting...\" then \"File closed.\", through a pipe and into a file, "
             "nothing on standard error, status 0, and output.txt holds the 14 bytes "
             "\"Hello, Zorvi!\" and a newline",
             farewell_readme, ""})
TEST_F(Farewell, NarratesInOrderAndStoresTheGreeting)
{
    const Result piped = run_in_dir();
    EXPECT_BYTES("through a pipe, standard output", piped.out, narration);
    EXPECT_BYTES("through a pipe, standard error", piped.err, "");
    EXPECT_ENDS("through a pipe, the program", piped.status, exited(0));
    EXPECT_BYTES("output.txt", output(), greeting);

    Options options;
    options.stdout_path = temp_dir() + "/narration";
    const Result filed = run_in_dir(options);
    EXPECT_BYTES("into a file, standard output", read_file(options.stdout_path), narration);
    EXPECT_ENDS("into a file, the program", filed.status, exited(0));
}

EXPECTATION(Farewell, TruncatesAnExistingFileAndNeverAppends,
            {"farewell",
             "output.txt holds the 14-byte greeting however often the program runs, also "
             "where a longer file was before",
             farewell_readme, ""})
TEST_F(Farewell, TruncatesAnExistingFileAndNeverAppends)
{
    write_file(temp_dir() + "/output.txt", std::string(100, 'x'));
    for (int run = 0; run < 2; ++run) {
        const std::string which = run == 0 ? "the first run" : "the second run";
        EXPECT_ENDS(which, run_in_dir().status, exited(0));
        EXPECT_BYTES("after " + which + ", output.txt", output(), greeting);
    }
}

// At a terminal "Program is exiting..." is written while main() runs; the greeting reaches
// the file only on the exit path, from the exit handler. The terminal is stopped, so the
// program waits in its first write to it: output.txt must then exist and be empty.
EXPECTATION(Farewell, WritesTheGreetingOnlyWhenItExits,
            {"farewell",
             "At a terminal, while \"Program is exiting...\" is being written, output.txt "
             "exists and is still empty: the greeting reaches it only as the program exits",
             farewell_readme, ""})
TEST_F(Farewell, WritesTheGreetingOnlyWhenItExits)
{
    Options options;
    options.cwd = temp_dir();
    options.stopped_terminal = true;
    const Process p = spawn({program("farewell")}, options);
    const std::string writing = std::to_string(SYS_write) + " 0x1";
    const double deadline = now() + 5;
    while (blocked_in(p.pid) != writing && now() < deadline && alive(p.pid)) {
        usleep(1000);
    }
    const bool waited = blocked_in(p.pid) == writing;
    const bool made = exists(temp_dir() + "/output.txt");
    const std::string early = output();
    resume_terminal(p.out);
    const std::string shown_then = read_all(p.out);
    EXPECT_ENDS("the program", wait_for(p.pid, 5), exited(0));
    EXPECT_HOLDS(waited) << "expected a write to the terminal while the program runs; seen "
                         << (alive(p.pid) ? "none within 5 s" : "the program end without one");
    EXPECT_HOLDS(!waited || made) << "output.txt: expected it made before the first line, seen "
                                     "no such file yet";
    EXPECT_BYTES("while the first line is written, output.txt", early, "");
    EXPECT_BYTES("at a terminal, standard output", shown_then, narration);
    EXPECT_BYTES("at the end, output.txt", output(), greeting);
}

EXPECTATION(Farewell, ReportsAFileThatCannotBeOpened,
            {"farewell",
             "When output.txt cannot be opened (a directory of that name, a directory it may "
             "not write to), standard error says why (\"Failed to open file: Is a "
             "directory\", \"...: Permission denied\"), standard output stays empty, status 1",
             farewell_readme, ""})
TEST_F(Farewell, ReportsAFileThatCannotBeOpened)
{
    std::filesystem::create_directory(temp_dir() + "/output.txt");
    const Result in_the_way = run_in_dir();
    EXPECT_BYTES("with a directory output.txt, standard output", in_the_way.out, "");
    EXPECT_BYTES("with a directory output.txt, standard error", in_the_way.err,
                 "Failed to open file: Is a directory\n");
    EXPECT_ENDS("with a directory output.txt, the program", in_the_way.status, exited(1));

    // A directory the run may enter but not write to; as root it could, so it drops to an
    // unprivileged user.
    if (!can_drop_privileges()) {
        if (HasFailure()) {
            return;
        }
        NOT_CHECKED("a directory output.txt is reported as it should be, but as root, with no "
                    "way to become the unprivileged user 65534 here, every directory is "
                    "writable");
    }
    const std::string locked = make_temp_dir();
    const std::string copy = copy_into(program("farewell"), locked);
    chmod(locked.c_str(), 0555);
    Options options;
    options.cwd = locked;
    options.unprivileged = true;
    const Result denied = run({copy}, options, program_time);
    chmod(locked.c_str(), 0755);
    std::filesystem::remove_all(locked);
    EXPECT_BYTES("in a directory it may not write to, standard output", denied.out, "");
    EXPECT_BYTES("in a directory it may not write to, standard error", denied.err,
                 "Failed to open file: Permission denied\n");
    EXPECT_ENDS("in a directory it may not write to, the program", denied.status, exited(1));
}

// A greeting that never reached the disk, or narration that never reached stdout, is a
// failure: reported, status 1, and the other output still whole.
EXPECTATION(Farewell, ReportsAFullDiskAndAFullStandardOutput,
            {"farewell",
             "A full disk under output.txt gives \"Program is exiting...\" alone, \"Failed "
             "to close file: No space left on device\" and status 1; a full standard output "
             "gives \"Failed to write standard output: No space left on device\", status 1, "
             "and the greeting still stored",
             farewell_readme, "unchecked-fclose no-close-stdout"})
TEST_F(Farewell, ReportsAFullDiskAndAFullStandardOutput)
{
    std::filesystem::create_symlink("/dev/full", temp_dir() + "/output.txt");
    const Result disk_full = run_in_dir();
    EXPECT_BYTES("with output.txt on a full disk, standard output", disk_full.out,
                 "Program is exiting...\n");
    EXPECT_BYTES("with output.txt on a full disk, standard error", disk_full.err,
                 "Failed to close file: No space left on device\n");
    EXPECT_ENDS("with output.txt on a full disk, the program", disk_full.status, exited(1));

    std::filesystem::remove(temp_dir() + "/output.txt");
    Options options;
    options.stdout_path = "/dev/full";
    const Result stdout_full = run_in_dir(options);
    EXPECT_BYTES("with standard output on a full disk, standard error", stdout_full.err,
                 "Failed to write standard output: No space left on device\n");
    EXPECT_ENDS("with standard output on a full disk, the program", stdout_full.status, exited(1));
    EXPECT_BYTES("with standard output on a full disk, output.txt", output(), greeting);
}
