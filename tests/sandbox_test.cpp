// check/sandbox, in which check/run runs every check of a stranger's program.
#include "harness.hpp"

#include <arpa/inet.h>
#include <filesystem>
#include <sys/socket.h>

using namespace harness;

namespace {
const std::string sandbox = std::string(SOURCE_DIR) + "/check/sandbox";

struct Hostile {
    const char *name;
    const char *script; // bash: $1 the caller's home, $2 a port open outside, $3 this run's tag
    const char *said;   // in the run's standard error: what was refused, or which bound
};

const Hostile hostile[] = {
    {"deletes a folder in the home", "rm -r \"$1/keep\"", "No such file or directory"},
    {"prints the ssh key", "cat \"$1/.ssh/id_ed25519\"", "No such file or directory"},
    {"reads the caller's environment", "cat /proc/[0-9]*/environ", ""},
    {"writes /var/tmp and /dev/shm", "echo x >/var/tmp/$3 && echo x >/dev/shm/$3", ""},
    {"connects to 127.0.0.1", "echo x >/dev/tcp/127.0.0.1/$2", "Connection refused"},
    {"types into the terminal",
     "exec python3 -c 'import fcntl, termios\nfor c in \"echo $3\\n\": "
     "fcntl.ioctl(0, termios.TIOCSTI, c.encode())'",
     "Operation not permitted"},
    {"leaves a daemon", "(setsid bash -c 'trap \"\" TERM HUP; sleep 300; : '$3 &)", ""},
    {"forks without end", "f() { f | f; }; f", "Resource temporarily unavailable"},
    {"writes a gigabyte", "exec head -c 1G /dev/zero", "past the 64 MiB bound"},
    {"ignores SIGTERM, never ends", "trap '' TERM; while :; do :; done", "time bound of 2 s"},
};

class Sandbox : public ProcessTest, public ::testing::WithParamInterface<bool> {};
} // namespace

TEST_P(Sandbox, HostileProgramsDoNoHarmAndTheNextCheckGoesOn)
{
    const std::string dir = temp_dir();
    const std::string home = dir + "/home";
    run({"/bin/bash", "-c", "mkdir -m 777 $0 $0/keep $0/.ssh && echo SECRET >$0/.ssh/id_ed25519",
         home}); // harm within the reach of either user, but for the sandbox
    std::filesystem::permissions(dir, std::filesystem::perms::all);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
    // The runner is the session leader of a terminal, as a caller at a prompt would be;
    // what a program pushes into that terminal, its next read gets.
    copy_into(sandbox, dir);
    write_file(dir + "/runner", "d=" + dir + R"sh(
bash "$d/sandbox" --time 2 -- bash -c "$(cat "$d/hostile")" hostile "$d/home" $1 sandbox-test$2 >"$d/out" 2>&1
echo "status $?" >>"$d/out"
tail -c 4096 "$d/out" >"$d/said" # what the sandbox said comes last, after a gigabyte's worth
grep -ls "sandbox-tes[t]$2" /proc/[0-9]*/cmdline >"$d/left"
read -r -t 0.1 typed; echo "$typed" >"$d/typed"
bash "$d/sandbox" -- echo next >"$d/next"
)sh");
    Options options;
    options.unprivileged = GetParam();
    options.terminal = true;
    options.env = {"HOME=" + home, "TOKEN=SECRET"};
    for (const Hostile &h : hostile) {
        const std::string run_id =
            "-" + std::to_string(getpid()) + "-" + std::to_string(&h - hostile);
        const std::string tag = "sandbox-test" + run_id;
        write_file(dir + "/hostile", h.script);
        run({"/bin/bash", "-c", "exec 0<&1 && exec setsid -c bash \"$0/runner\" \"$1\" \"$2\"", dir,
             std::to_string(ntohs(address.sin_port)), run_id},
            options, 20);
        const std::string out = read_file(dir + "/said");
        SCOPED_TRACE(h.name);
        SCOPED_TRACE(out);
        EXPECT_NE(out.find(h.said), std::string::npos) << "expected: " << h.said;
        EXPECT_TRUE(exists(home + "/keep"));
        EXPECT_EQ(out.find("SECRET"), std::string::npos);
        EXPECT_FALSE(exists("/var/tmp/" + tag) || exists("/dev/shm/" + tag));
        EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "a connection came in";
        EXPECT_BYTES("what the terminal's next read got", read_file(dir + "/typed"), "\n");
        EXPECT_BYTES("processes left", read_file(dir + "/left"), "");
        EXPECT_BYTES("the next check's output", read_file(dir + "/next"), "next\n");
    }
    close(listener);
}

INSTANTIATE_TEST_SUITE_P(AsRootAndAsUser65534, Sandbox, ::testing::Bool());

// The tests leave marks in their temporary folders to know a preloaded library did its
// part: in the sandbox, where only the scratch directory and /tmp are writable, the
// expectations must still be checked where they are outside.
TEST_F(ProcessTest, SandboxChecksTheProjectsProgramsAsTheyAreCheckedOutside)
{
    const std::string tests = std::filesystem::read_symlink("/proc/self/exe");
    const std::string build = std::filesystem::path(tests).parent_path();
    for (const auto &[name, path] :
         {std::pair{"leakdemo", LEAKDEMO}, {"farewell", FAREWELL}, {"kill_a", KILL_A}}) {
        Options options;
        options.env = {std::string("DEMO_CHECK=") + name,
                       std::string("DEMO_CHECK_PROGRAM=") + path};
        const std::string verdicts =
            "\"$@\" | sed -n -E 's/^(\\[ +(OK|SKIPPED|FAILED) +\\] [A-Z][^ ]*).*/\\1/p'";
        const Process outside = spawn({"/bin/bash", "-c", verdicts, "-", tests}, options);
        std::vector<std::string> inside = {"/bin/bash", "-c", verdicts, "-", "bash", sandbox};
        for (const std::string &file : {tests, std::string(path), build + "/libfail_allocation.so",
                                        build + "/libdelay_child_handlers.so"}) {
            inside.insert(inside.end(), {"--expose", file});
        }
        inside.insert(inside.end(), {"--setenv", "DEMO_CHECK", name, "--setenv",
                                     "DEMO_CHECK_PROGRAM", path, "--", tests});
        const Process in = spawn(inside, options);
        EXPECT_BYTES(std::string(name) + "'s verdicts inside the sandbox", read_all(in.out, 60),
                     read_all(outside.out, 60));
    }
}
