"""lab/submit: the hand-in of the lab, one archive made from lab/mine/ alone.

Each task's source is built with the worksheet's own command (a script is taken as it
is), held to its task by check/run, and packed with the answer sheet, the predictions and
the checks' verdicts. What the student wrote runs only inside check/run's checks: this
tool compiles it and reads it, never starts it.
"""

import argparse
import datetime
import hashlib
import io
import json
import os
import pwd
import signal
import socket
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

TASKS = ("kill_wait", "kill_flag", "farewell_lost")
COMPILERS = {
    ".c": ["gcc", "-std=gnu17", "-Wall", "-Wextra"],
    ".cpp": ["g++", "-std=c++20", "-Wall", "-Wextra"],
}
ROOT = Path(__file__).resolve().parent.parent
MINE = Path("lab/mine")

running = None  # the child started now: its own session, ended whole on an interrupt
scratch = None


def refuse(message, status=2):
    print(f"lab/submit: {message}", file=sys.stderr)
    sys.exit(status)


def on_signal(sig, _frame):
    if running is not None and running.poll() is None:
        try:
            os.killpg(running.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            running.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(running.pid, signal.SIGKILL)
            running.wait()
    if scratch is not None:
        scratch.cleanup()
    signal.signal(sig, signal.SIG_DFL)
    os.kill(os.getpid(), sig)


def run(argv, **options):
    """Runs argv in a session of its own, so that an interrupt can end all of it."""
    global running
    try:
        running = subprocess.Popen(argv, cwd=ROOT, start_new_session=True,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, **options)
    except FileNotFoundError:
        return 127, f"{argv[0]} is not installed here (bash setup/need check names what is missing)\n"
    out, _ = running.communicate()
    status = running.returncode
    running = None
    return status, out.decode(errors="replace")


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def own_file(path):
    """A regular file of lab/mine/ itself: a link could bring in what is outside."""
    return not path.is_symlink() and path.is_file()


def is_script(path):
    with open(path, "rb") as f:
        return f.read(2) == b"#!"


def sources_of(task):
    """TASK.c, TASK.cpp, or TASK.EXT that starts with #!; other files are not sources."""
    found = []
    for path in sorted((ROOT / MINE).glob(task + ".*")):
        if not own_file(path):
            continue
        if path.suffix in COMPILERS or is_script(path):
            found.append(path)
        else:
            print(f"lab/submit: {path.relative_to(ROOT)} is not a source (not .c, .cpp, nor a "
                  "script that starts with a #! line): left out")
    return found


def commit():
    status, out = run(["git", "rev-parse", "HEAD"])
    if status != 0:
        return None, []
    _, changed = run(["git", "status", "--porcelain", "--untracked-files=no"])
    return out.strip(), [line[3:] for line in changed.splitlines() if line]


def add(archive, name, data, mtime):
    info = tarfile.TarInfo(name)
    info.size = len(data)
    info.mode = 0o644
    info.mtime = int(mtime)
    archive.addfile(info, io.BytesIO(data))


def main():
    global scratch
    parser = argparse.ArgumentParser(
        prog="bash lab/submit",
        description="Builds each task's source in lab/mine/ with the worksheet's command (a "
        "script with a #! line as it is), runs its check (bash check/run --json), and packs "
        "one archive, lab-USER@HOST-DATE.tar.gz: manifest.json (the project's commit, the "
        "user, the host, the date, each source's and program's SHA-256 and its check's "
        "status), answers.md, predictions.md, sources/TASK.EXT, checks/TASK.json and "
        "checks/TASK.txt. Nothing outside lab/mine/ is packed. The last line printed is "
        "the archive's path.",
        epilog="Exit status: 0 the archive is written (whatever the checks found), 2 it "
        "cannot be (and why is said).")
    parser.add_argument("--output", metavar="DIR", default=str(ROOT / MINE),
                        help="where the archive goes (default: lab/mine/)")
    parser.add_argument("--unsandboxed", action="store_true",
                        help="passed to check/run: accept running the checks without their "
                        "sandbox where none can be made")
    args = parser.parse_args()
    output = Path(os.path.abspath(args.output))
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)

    mine = ROOT / MINE
    answers = mine / "answers.md"
    if not own_file(answers):
        refuse("no answer sheet in lab/mine/answers.md: copy it first "
               "(cp lab/answers.md lab/mine/answers.md) and write your answers in it")
    chosen = {}
    for task in TASKS:
        found = sources_of(task)
        if len(found) > 1:
            names = " and ".join(str(p.relative_to(ROOT)) for p in found)
            refuse(f"two sources for {task}: {names}: keep one in lab/mine/, move the other out")
        chosen[task] = found[0] if found else None
    if not output.is_dir():
        refuse(f"{args.output} is not a directory: make it, or name another with --output")

    scratch = tempfile.TemporaryDirectory(prefix="submit-")
    members = {"answers.md": answers.read_bytes()}
    predictions = mine / "predictions.md"
    if own_file(predictions):
        members["predictions.md"] = predictions.read_bytes()
    else:
        data = Path(os.environ.get("XDG_DATA_HOME") or Path.home() / ".local/share")
        elsewhere = data / "os_demonstrations/predictions.md"
        try:
            there = elsewhere.is_file()
        except OSError:  # a home directory that is not this user's
            there = False
        if there:
            print(f"lab/submit: your predictions are in {elsewhere}, not in lab/mine/: "
                  f"they are not handed in (cp {elsewhere} lab/mine/ to hand them in)")
        else:
            print("lab/submit: no predictions (bash tour/run --predict writes them)")

    tasks = {}
    for task, source in chosen.items():
        if source is None:
            print(f"{task}: not attempted (no lab/mine/{task}.c, .cpp or script)")
            tasks[task] = {"attempted": False}
            continue
        relative = source.relative_to(ROOT)
        program = MINE / task
        entry = {"source": f"sources/{source.name}", "source_sha256": sha256(source)}
        members[entry["source"]] = source.read_bytes()
        if source.suffix in COMPILERS:
            argv = COMPILERS[source.suffix] + ["-o", str(program), str(relative)]
            print(f"{task}: {' '.join(argv)}")
            status, out = run(argv)
            if status != 0:
                print(out, end="")
                print(f"{task}: {relative} does not build: no check")
                entry.update(program_sha256=None, status=2)
                members[f"checks/{task}.txt"] = (" ".join(argv) + "\n" + out).encode()
                tasks[task] = entry
                continue
        else:
            program = relative
            source.chmod(source.stat().st_mode | 0o111)
        entry["program_sha256"] = sha256(ROOT / program)
        json_file = Path(scratch.name) / f"{task}.json"
        argv = ["bash", "check/run", "--json", str(json_file)]
        if args.unsandboxed:
            argv.append("--unsandboxed")
        status, out = run(argv + [task, str(program)])
        last = out.rstrip("\n").rsplit("\n", 1)[-1]
        print(f"{task}: {last}")
        entry["status"] = status
        members[f"checks/{task}.txt"] = out.encode()
        if json_file.is_file():
            try:
                json.loads(json_file.read_text())
                members[f"checks/{task}.json"] = json_file.read_bytes()
            except (ValueError, UnicodeDecodeError):
                print(f"{task}: check/run wrote no valid JSON: only its text is packed")
        tasks[task] = entry

    now = time.time()
    head, changed = commit()
    user = pwd.getpwuid(os.getuid()).pw_name
    host = socket.gethostname()
    manifest = {
        "commit": head,
        "changed_files": changed,
        "user": user,
        "host": host,
        "date": datetime.datetime.fromtimestamp(now).astimezone().isoformat(timespec="seconds"),
        "tasks": tasks,
    }
    members = {"manifest.json": (json.dumps(manifest, indent=2) + "\n").encode(), **members}
    stamp = datetime.datetime.fromtimestamp(now).strftime("%Y%m%d-%H%M%S")
    path = output / f"lab-{user}@{host}-{stamp}.tar.gz"
    partial = output / f".{path.name}.partial"
    try:
        with tarfile.open(partial, "w:gz") as archive:
            for name, data in members.items():
                add(archive, name, data, now)
        os.replace(partial, path)
    except OSError as e:
        partial.unlink(missing_ok=True)
        refuse(f"cannot write the archive in {output}: {e.strerror}")
    finally:
        scratch.cleanup()
    print(f"lab/submit: handed in {len(members)} files; the archive to hand in:")
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
