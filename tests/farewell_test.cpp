#include "harness.hpp"

#include <filesystem>
#include <sys/stat.h>

using namespace harness;

namespace {
const std::string greeting = "Hello, Zorvi!\n";
const std::string narration = "Program is exiting...\nFile closed.\n";

// Each run in a fresh directory of its own, as the program writes into its working one.
class Farewell : public ProcessTest {
  protected:
    Result run_in_dir(Options options = {})
    {
        options.cwd = temp_dir();
        return run({FAREWELL}, options);
    }
    std::string output()
    {
        return read_file(temp_dir() + "/output.txt");
    }
};
} // namespace

// "File closed." comes from the exit handler after main() has returned: after the other
// line, whether stdout is a pipe or a file.
TEST_F(Farewell, NarratesInOrderAndStoresTheGreeting)
{
    const Result piped = run_in_dir();
    EXPECT_EQ(piped.out, narration);
    EXPECT_EQ(piped.err, "");
    EXPECT_TRUE(exited_with(piped.status, 0)) << piped.status;
    EXPECT_EQ(output(), greeting);

    Options options;
    options.stdout_path = temp_dir() + "/narration";
    const Result filed = run_in_dir(options);
    EXPECT_EQ(read_file(options.stdout_path), narration);
    EXPECT_TRUE(exited_with(filed.status, 0)) << filed.status;
}

TEST_F(Farewell, TruncatesAnExistingFileAndNeverAppends)
{
    write_file(temp_dir() + "/output.txt", std::string(100, 'x'));
    for (int run = 0; run < 2; ++run) {
        EXPECT_TRUE(exited_with(run_in_dir().status, 0));
        EXPECT_EQ(output(), greeting) << "run " << run;
    }
}

TEST_F(Farewell, ReportsAFileThatCannotBeOpened)
{
    std::filesystem::create_directory(temp_dir() + "/output.txt");
    const Result in_the_way = run_in_dir();
    EXPECT_EQ(in_the_way.out, "");
    EXPECT_EQ(in_the_way.err, "Failed to open file: Is a directory\n");
    EXPECT_TRUE(exited_with(in_the_way.status, 1)) << in_the_way.status;

    // A directory the run may enter but not write to; as root it could, so it drops to an
    // unprivileged user.
    const std::string locked = make_temp_dir();
    const std::string program = copy_into(FAREWELL, locked);
    chmod(locked.c_str(), 0555);
    Options options;
    options.cwd = locked;
    options.unprivileged = true;
    const Result denied = run({program}, options);
    chmod(locked.c_str(), 0755);
    std::filesystem::remove_all(locked);
    EXPECT_EQ(denied.out, "");
    EXPECT_EQ(denied.err, "Failed to open file: Permission denied\n");
    EXPECT_TRUE(exited_with(denied.status, 1)) << denied.status;
}

// A greeting that never reached the disk, or narration that never reached stdout, is a
// failure: reported, status 1, and the other output still whole.
TEST_F(Farewell, ReportsAFullDiskAndAFullStandardOutput)
{
    std::filesystem::create_symlink("/dev/full", temp_dir() + "/output.txt");
    const Result disk_full = run_in_dir();
    EXPECT_EQ(disk_full.out, "Program is exiting...\n");
    EXPECT_EQ(disk_full.err, "Failed to close file: No space left on device\n");
    EXPECT_TRUE(exited_with(disk_full.status, 1)) << disk_full.status;

    std::filesystem::remove(temp_dir() + "/output.txt");
    Options options;
    options.stdout_path = "/dev/full";
    const Result stdout_full = run_in_dir(options);
    EXPECT_EQ(stdout_full.err, "Failed to write standard output: No space left on device\n");
    EXPECT_TRUE(exited_with(stdout_full.status, 1)) << stdout_full.status;
    EXPECT_EQ(output(), greeting);
}
