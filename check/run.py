"""Holds a program of your own to the contract of one of the demonstrations or of a lab task.

The same tests that hold this project's builds (tests/) run against PROGRAM instead, one
run of the test binary per expectation, and each verdict is shown in plain words. Entered
through check/run (bash check/run --help); see README.md, "Write your own".
"""

import argparse
import fnmatch
import hashlib
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NAMES = ["kill_a", "kill_b", "kill_c", "leakdemo", "farewell", "kill_wait", "kill_flag",
         "farewell_lost"]
TASKS = ["kill_wait", "kill_flag", "farewell_lost"]
# Seconds one expectation may take; each test's own watchdog ends it, and everything below
# it, sooner.
BOUND = 150
INDENT = " " * 13

USAGE = """\
usage: bash check/run [options] NAME PROGRAM

Runs PROGRAM as the demonstration NAME would run, from outside, and says for each thing
it must do whether it holds, fails (what was expected, what was seen, where to read
about it) or could not be checked on this program (and why). PROGRAM is any executable
file: compiled C or C++, or a script with a #! line.

  NAME           a demonstration: kill_a kill_b kill_c leakdemo farewell
                 or a task of the lab (lab/README.md): kill_wait kill_flag farewell_lost
  --names        also name the test behind each expectation, as ctest names it
  --only NAME    check only this expectation (its test's name, as --names shows it; * and
                 ? match any text); may be given more than once
  --json FILE    also write the verdicts to FILE as JSON: the task, the program and its
                 SHA-256, the counts, and each expectation's name, words, verdict and reason
  --unsandboxed  where no sandbox can be made, run PROGRAM without one, with your rights
  -h, --help     this text

PROGRAM never runs with your rights: each expectation's test runs in a sandbox
(check/sandbox, with bubblewrap; as root, as the user 65534) that shows it the system
read-only and none of /home, /root, your home, /tmp, /var/tmp, /dev/shm or /run, lets it
write only in a scratch directory of its own, gives it no network and its own session
(it cannot type into your terminal), and bounds it to 64 processes, 60 s of processor
time, 64 MiB a file and 150 s. What it was refused, it says itself ("No such file or
directory", "Connection refused"), or the check's last words say which bound ended it.
A sandbox costs 0.25 s to start (bubblewrap's part about 30 ms), once per expectation.
Where none can be made (a chroot, user namespaces switched off) check/run says why and
stops, unless --unsandboxed.
To see it at work: bash check/sandbox -- sh -c 'ls ~ /tmp; id; cat /etc/shadow'

The last line names the task and the program and counts the verdicts:
  kill_wait ./kill_wait: 11 of 11 expectations hold (8.0 s)

Exit status: 0 when every expectation holds (some may not be checked), 1 when one
fails, 2 for a usage error, a PROGRAM that cannot be run or checks that cannot be set
up, 3 when an expectation that defines a task could not be checked here: the task
cannot be graded on this machine or this program (the run says why).

Environment:
  CHECK_JOBS=N        expectations run at once (default: the number of processors)
  CHECK_BUILD_DIR=DIR use the test binary and preloaded libraries of this existing build
                      tree (any preset's) instead of building them with setup/build
  XDG_CACHE_HOME      where setup/build builds when this checkout is not writable
  NO_COLOR            no colour, even at a terminal
"""


def refuse(message, status=2):
    print(f"check/run: {message}", file=sys.stderr)
    sys.exit(status)


class Parser(argparse.ArgumentParser):
    def error(self, message):
        refuse(f"{message} (see bash check/run --help)")


def parse_arguments(argv):
    parser = Parser(prog="check/run", add_help=False, usage=argparse.SUPPRESS)
    parser.add_argument("-h", "--help", action="store_true")
    parser.add_argument("--names", action="store_true")
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--json", metavar="FILE")
    parser.add_argument("--unsandboxed", action="store_true")
    parser.add_argument("rest", nargs=argparse.REMAINDER)
    options = parser.parse_args(argv)
    if options.help:
        sys.stdout.write(USAGE)
        sys.exit(0)
    rest = options.rest
    if rest and rest[0] == "--":
        rest = rest[1:]
    if rest and rest[0].startswith("-") and len(rest[0]) > 1:
        refuse(f"unknown option {rest[0]} (see bash check/run --help)")
    if len(rest) != 2:
        print("usage: bash check/run [options] NAME PROGRAM (NAME: " + " ".join(NAMES)
              + "; see --help)", file=sys.stderr)
        sys.exit(2)
    options.name, options.program = rest
    if options.name not in NAMES:
        refuse(f"no demonstration {options.name}; the names are: {' '.join(NAMES)}")
    return options


def check_program(program):
    """PROGRAM must be something the system can start: said in one line when it is not."""
    def cannot_run(why):
        refuse(f"cannot run {program}: {why}")
    path = Path(program)
    if not path.exists():
        cannot_run("no such file")
    if path.is_dir():
        cannot_run("it is a directory")
    if not os.access(path, os.X_OK):
        cannot_run(f"it is not executable (chmod +x {program})")
    try:
        with open(path, "rb") as file:
            head = file.readline(4096)
    except OSError:
        return  # executable but unreadable: the system may still start it
    if head.startswith(b"#!"):
        words = head[2:].split()
        interpreter = words[0].decode(errors="replace") if words else ""
        if not interpreter or not os.access(interpreter, os.X_OK) or os.path.isdir(interpreter):
            cannot_run(f"its #! line names {interpreter or 'nothing'}, which is not a program here")
    elif not head.startswith(b"\x7fELF"):
        cannot_run("it is neither a compiled program nor a script that starts with a #! line")


def sha256_of(path):
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as file:
            for block in iter(lambda: file.read(1 << 20), b""):
                digest.update(block)
    except OSError:
        return ""
    return digest.hexdigest()


def tests_of(report):
    """The tests of a --gtest_output=json report, each a dict with its recorded properties."""
    with open(report, encoding="utf-8") as file:
        data = json.load(file)
    for suite in data.get("testsuites", []):
        yield from suite.get("testsuite", [])


def failures_of(test):
    texts = []
    for failure in test.get("failures", []):
        text = failure.get("failure", "")
        text = text.split("\n", 1)[1] if "\n" in text else ""  # the test's file and line
        if text.startswith("Failed\n"):  # gtest's word for a failure without a comparison
            text = text[len("Failed\n"):]
        texts.append(text)
    return texts


# Every process started to check an expectation, so that an interrupt can end them all.
running = {}
# The sandbox every expectation's test binary runs in, PROGRAM with it (None: no sandbox,
# as --unsandboxed accepts).
sandbox = None
# Each running expectation's scratch directory under /var/tmp, when sandboxed.
places = {}


def sandbox_or_refuse(options):
    """check/sandbox, when it can make a sandbox here; else its reason, and a refusal."""
    probe = subprocess.run(["bash", str(ROOT / "check/sandbox"), "--check"],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
    if probe.returncode == 0:
        return [str(ROOT / "check/sandbox")]
    reason = probe.stderr.strip().splitlines()[-1:] or ["check/sandbox failed"]
    reason = reason[0].removeprefix("check/sandbox: ")
    if not options.unsandboxed:
        refuse(f"{reason}; {options.program} was not run (bash check/run --unsandboxed "
               f"{options.name} {options.program} runs it with your rights)")
    print(f"check/run: {reason}: running {options.program} with your rights, as --unsandboxed "
          "asks", file=sys.stderr)
    return None


def shown(program):
    """What of PROGRAM's the sandbox shows: a script's whole folder, since a script may
    start what lies beside it (a wrapper its program, Python its modules); else the file."""
    try:
        with open(program, "rb") as file:
            script = file.read(2) == b"#!"
    except OSError:
        script = False
    return os.path.dirname(os.path.abspath(program)) if script else program


def run_expectation(argv, env, log, scratch):
    """Starts one expectation's run of the test binary; every check goes through here.

    The whole test binary runs in the sandbox, not only PROGRAM: between the tests and
    PROGRAM, the sandbox's own processes would stand where the tests look for PROGRAM's,
    and the preloaded libraries would load into it too. Its report is written in the
    sandbox's scratch directory, the only place it can write.
    """
    if sandbox is None:
        return subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT, cwd=ROOT)
    build = Path(argv[0]).parent
    command = ["bash", *sandbox, "--scratch", str(scratch), "--time", str(BOUND),
               "--expose", argv[0], "--expose", shown(env["DEMO_CHECK_PROGRAM"])]
    for library in ("libfail_allocation.so", "libdelay_child_handlers.so", "librace_before_wait.so",
                    "librecord_handler_calls.so"):
        if (build / library).exists():
            command += ["--expose", str(build / library)]
    for name in ("DEMO_CHECK", "DEMO_CHECK_PROGRAM"):
        command += ["--setenv", name, env[name]]
    # The program stops at 48 processes, below the sandbox's 64: room for the tests to
    # stop it and end it.
    command += ["--setenv", "DEMO_CHECK_NPROC", "48", "--", *argv]
    return subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log,
                            stderr=subprocess.STDOUT, cwd=ROOT)


def end_running():
    for process in running.values():
        try:
            process.send_signal(signal.SIGTERM)
        except OSError:
            pass
    # Each test ends everything below it, then itself: wait for all of them.
    for process in running.values():
        try:
            process.wait(15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    running.clear()
    for place in places.values():
        shutil.rmtree(place, ignore_errors=True)
    places.clear()


def on_signal(scratch):
    def handler(sig, _frame):
        end_running()
        shutil.rmtree(scratch, ignore_errors=True)
        signal.signal(sig, signal.SIG_DFL)
        os.kill(os.getpid(), sig)
    return handler


def build_checks():
    """The test binary and the preloaded libraries it uses, built once and kept."""
    given = os.environ.get("CHECK_BUILD_DIR")
    if given:
        if not Path(given).is_dir():
            refuse("CHECK_BUILD_DIR names no directory")
        return Path(given).resolve()
    if subprocess.run(["bash", str(ROOT / "setup/need"), "check"]).returncode != 0:
        sys.exit(2)  # setup/need has said what is missing and how to get it
    targets = ["default", "demo_tests", "fail_allocation", "delay_child_handlers",
               "race_before_wait", "record_handler_calls"]
    # The build an administrator made for every user (lab/ready), when there is one.
    shared = subprocess.run(["bash", str(ROOT / "setup/build"), "--built"] + targets,
                            stdout=subprocess.PIPE, text=True)
    if shared.returncode == 0:
        return Path(shared.stdout.strip())
    print("check/run: building the checks where they are not built yet (a few minutes the "
          "first time)...", file=sys.stderr)
    built = subprocess.run(["bash", str(ROOT / "setup/build")] + targets,
                           stdout=subprocess.PIPE, text=True)
    if built.returncode != 0:
        refuse("the checks could not be built")
    return Path(built.stdout.strip())


def limit_processes(env):
    """A process limit, so that a program that forks without end cannot take the machine.

    For an ordinary user: the processes it has already and room for the tests, which keep
    a margin above the programs' own limit (DEMO_CHECK_NPROC) to stop them and end them.
    Root has no such limit (the kernel does not hold root to it): there only each test's
    time bound holds.
    """
    if os.geteuid() == 0:
        return
    own = 0
    uid = os.geteuid()
    for task in Path("/proc").glob("[0-9]*/task/[0-9]*"):
        try:
            own += task.stat().st_uid == uid
        except OSError:
            pass
    _, hard = resource.getrlimit(resource.RLIMIT_NPROC)
    soft = own + 600 if hard == resource.RLIM_INFINITY else min(own + 600, hard)
    resource.setrlimit(resource.RLIMIT_NPROC, (soft, hard))
    env["DEMO_CHECK_NPROC"] = str(own + 300)


def list_expectations(tests, env, scratch, name):
    """The expectations that concern NAME, in the order the tests are written."""
    report = scratch / "list.json"
    with open(scratch / "list.log", "wb") as log:
        listed = subprocess.run([str(tests), f"--gtest_output=json:{report}"],
                                env=dict(env, DEMO_CHECK_LIST="1"), stdout=log,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    if listed.returncode != 0 or not report.exists() or report.stat().st_size == 0:
        sys.stderr.write((scratch / "list.log").read_text(errors="replace"))
        refuse("the test binary could not list the expectations")
    found = [t for t in tests_of(report) if t.get("expectation")]
    found.sort(key=lambda t: (t.get("file", ""), int(t.get("line", 0))))
    if not found:
        refuse(f"no expectation concerns {name}")
    return found


class Screen:
    def __init__(self):
        colour = (sys.stdout.isatty() and not os.environ.get("NO_COLOR")
                  and os.environ.get("TERM", "dumb") != "dumb")
        self.bold, self.red, self.green, self.yellow, self.plain = (
            ("\033[1m", "\033[31m", "\033[32m", "\033[33m", "\033[0m") if colour
            else ("", "", "", "", ""))
        try:
            width = int(os.environ.get("COLUMNS", "100"))
        except ValueError:
            width = 100
        self.width = max(width, 60) - len(INDENT)

    def wrapped(self, text):
        """Text folded to the screen, every line after the first indented."""
        lines = []
        for line in text.split("\n"):
            lines += textwrap.wrap(line, self.width, break_long_words=False,
                                   break_on_hyphens=False, replace_whitespace=False,
                                   drop_whitespace=True) or [""]
        return ("\n" + INDENT).join(lines)


def verdict_of(expected, report, log):
    """held, failed or not checked, the words and the reason, from the test's own report."""
    test = None
    if report.exists() and report.stat().st_size > 0:
        try:
            test = next(iter(tests_of(report)), None)
        except (OSError, ValueError):
            test = None
    words = expected["expectation"]
    if test is None:
        # The program's or the system's last words, without the test framework's own.
        last = [line for line in (log.read_text(errors="replace").splitlines()
                                  if log.exists() else [])
                if not line.startswith(("[", "Running main()", "Note: Google Test"))][-5:]
        return "failed", words, ["the check itself ended without a verdict; its last words:\n"
                                 + "\n".join(last)], test
    if test.get("case"):
        words += f" ({test['case']})"
    failures = failures_of(test)
    if failures:
        return "failed", words, failures, test
    if test.get("result") == "SKIPPED":
        return "not checked", words, [], test
    return "held", words, [], test


def show(screen, options, expected, verdict, words, failures, test):
    name = f"{expected.get('classname', '')}.{expected.get('name', '')}"
    if options.names:
        words = f"[{name}] {words}"
    label, colour = {"held": ("held", screen.green), "failed": ("FAILED", screen.red),
                     "not checked": ("not checked", screen.yellow)}[verdict]
    print(f"{screen.bold}{colour}{label:<13}{screen.plain}{screen.wrapped(words)}")
    why = (test or {}).get("not_checked", "")
    if why:
        print(INDENT + screen.wrapped(f"why: {why}"))
    for failure in failures:
        lines = failure.split("\n")
        for line in lines[:40]:
            print(INDENT + line)
        if len(lines) > 40:
            print(f"{INDENT}({len(lines) - 40} more lines)")
    if failures:
        guide = expected.get("readme", "")
        see = f"read about it: {guide}"
        experiments = expected.get("experiments", "").split()
        # A task's failure names the fault, never a patch: the demonstrations' experiments
        # make their own mistakes, not the task's.
        if experiments and options.name not in TASKS:
            some = "experiment" if len(experiments) == 1 else "experiments"
            see += (f"; the same mistake made on purpose: the {some} "
                    f"{', '.join(experiments)} ({guide.split(',')[0]}, \"Break it yourself\")")
        print(INDENT + screen.wrapped(see))
    sys.stdout.flush()


def main():
    global sandbox
    options = parse_arguments(sys.argv[1:])
    check_program(options.program)
    program = os.path.abspath(options.program)  # the tests run it from other directories
    build = build_checks()  # setup/need first offers what is missing, bubblewrap included
    sandbox = sandbox_or_refuse(options)
    tests = build / "tests" / "demo_tests"
    if not os.access(tests, os.X_OK):
        refuse(f"no test binary {tests}")
    started = time.monotonic()

    env = dict(os.environ, DEMO_CHECK=options.name, DEMO_CHECK_PROGRAM=program)
    scratch = Path(tempfile.mkdtemp(prefix="check-", dir=os.environ.get("TMPDIR", "/tmp")))
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal(scratch))
    try:
        listed = list_expectations(tests, env, scratch, options.name)
        if options.only:
            unmatched = [p for p in options.only
                         if not any(fnmatch.fnmatchcase(f"{t['classname']}.{t['name']}", p)
                                    for t in listed)]
            if unmatched:
                refuse(f"no expectation {unmatched[0]} of {options.name} (bash check/run "
                       f"--names {options.name} PROGRAM names them)")
            listed = [t for t in listed
                      if any(fnmatch.fnmatchcase(f"{t['classname']}.{t['name']}", p)
                             for p in options.only)]
        limit_processes(env)
        status, summary = check_all(options, tests, env, scratch, listed, started)
    finally:
        end_running()
        shutil.rmtree(scratch, ignore_errors=True)
    print(summary)
    return status


def check_all(options, tests, env, scratch, listed, started):
    """Each expectation is one run of the test binary, bounded in time, a few at once.

    The verdicts come in the order the tests are written, each as soon as those before it
    are in.
    """
    screen = Screen()
    count = len(listed)
    try:
        jobs = max(1, int(os.environ.get("CHECK_JOBS", "0"))) if os.environ.get(
            "CHECK_JOBS") else os.cpu_count() or 1
    except ValueError:
        refuse("CHECK_JOBS must be a number")
    print(f"Checking {options.program} as {options.name}: {count} expectation"
          f"{'' if count == 1 else 's'} ({jobs} at a time)", flush=True)
    logs = {}
    began = {}
    done = set()
    results = []
    next_index = shown = 0
    while shown < count:
        while next_index < count and len(running) < jobs:
            test = listed[next_index]
            log = open(scratch / f"{next_index}.log", "wb")
            logs[next_index] = log
            # Where the sandboxed user 65534 can reach it (not under root's 0700 folder).
            place = scratch
            if sandbox:
                place = places[next_index] = Path(tempfile.mkdtemp(prefix="check-", dir="/var/tmp"))
                place.chmod(0o755)
            running[next_index] = run_expectation(
                [str(tests), f"--gtest_filter={test['classname']}.{test['name']}",
                 f"--gtest_output=json:{place / f'{next_index}.json'}"], env, log, place)
            began[next_index] = time.monotonic()
            next_index += 1
        time.sleep(0.02)
        for index, process in list(running.items()):
            if process.poll() is None and time.monotonic() - began[index] > BOUND:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            if process.poll() is not None:
                del running[index]
                logs.pop(index).close()
                place = places.pop(index, None)
                if place:
                    report = place / f"{index}.json"
                    if report.is_file() and not report.is_symlink():
                        shutil.copyfile(report, scratch / f"{index}.json")
                    shutil.rmtree(place, ignore_errors=True)
                done.add(index)
        while shown < count and shown in done:
            expected = listed[shown]
            verdict, words, failures, test = verdict_of(
                expected, scratch / f"{shown}.json", scratch / f"{shown}.log")
            show(screen, options, expected, verdict, words, failures, test)
            results.append({
                "name": f"{expected['classname']}.{expected['name']}",
                "words": words,
                "verdict": verdict,
                "reason": "\n".join(failures) if failures else (test or {}).get("not_checked", ""),
                "defining": str((test or expected).get("defining", "")).lower() in ("1", "true"),
            })
            shown += 1
    seconds = round(time.monotonic() - started, 1)
    held = sum(r["verdict"] == "held" for r in results)
    failed = sum(r["verdict"] == "failed" for r in results)
    unchecked = sum(r["verdict"] == "not checked" for r in results)
    ungraded = [r for r in results if r["defining"] and r["verdict"] == "not checked"]
    status = 1 if failed else 3 if ungraded else 0
    for r in ungraded if status == 3 else []:
        print(f"this task cannot be graded here: {r['reason'] or 'an expectation that defines it was not checked'}")
    summary = f"{options.name} {options.program}: {held} of {count} expectations hold"
    if failed:
        summary += f", {failed} failed"
    if unchecked:
        summary += f", {unchecked} not checked"
    summary += f" ({seconds:.1f} s)"
    if options.json:
        report = {"task": options.name, "program": options.program,
                  "sha256": sha256_of(options.program), "status": status, "seconds": seconds,
                  "held": held, "failed": failed, "not_checked": unchecked, "total": count,
                  "expectations": results}
        try:
            with open(options.json, "w", encoding="utf-8") as file:
                json.dump(report, file, indent=2, ensure_ascii=False)
                file.write("\n")
        except OSError as error:
            refuse(f"cannot write {options.json}: {error.strerror}")
    return status, summary


if __name__ == "__main__":
    sys.exit(main())
