"""Grades a class's hand-ins: every lab-USER@HOST-DATE.tar.gz that lab/submit wrote, in one
folder. For each archive and task it rebuilds the student's source and runs its check again,
both inside the sandbox, compares the verdicts with those handed in, and writes
DIR/grades.csv and DIR/grades.html. Run by lab/grade; see its --help."""

import argparse
import collections
import concurrent.futures
import csv
import hashlib
import html
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TASKS = ("kill_wait", "kill_flag", "farewell_lost")

# An archive from lab/submit holds a few small text files and three sources: these bounds are
# far above an honest one and far below what could fill the disk or the memory.
MAX_ARCHIVE_BYTES = 8 << 20
MAX_MEMBERS = 64
OWN_JSON_BYTES = 256 << 20
MAX_MEMBER_BYTES = 1 << 20
MAX_TOTAL_BYTES = 8 << 20
# The members lab/submit writes; anything else is left in the archive, and said.
KNOWN = re.compile(
    r"(manifest\.json|answers\.md|predictions\.md"
    r"|sources/(kill_wait|kill_flag|farewell_lost)(\.[A-Za-z0-9_]{1,8})?"
    r"|checks/(kill_wait|kill_flag|farewell_lost)\.(json|txt))"
)
PLAIN_NAME = re.compile(r"[A-Za-z0-9_.+-]{1,64}@[A-Za-z0-9_.-]{1,128}")
BUILD_SECONDS = 120
CHECK_SECONDS = 900  # check/run bounds each expectation; this bounds a check that hangs whole

USAGE = """\
usage: bash lab/grade [--unsandboxed] [--jobs N] DIR

Grades every archive that lab/submit wrote (lab-USER@HOST-DATE.tar.gz) in DIR. For each
archive and task it rebuilds the source handed in with the worksheet's command and runs
check/run on it again, both inside the sandbox (check/sandbox), and compares the verdicts
with those handed in: a difference is flagged, and the grade is the one seen here.
It writes DIR/grades.csv (one row per student and task: student, task, held, failed,
not_checked, total, the failed expectations, the mismatch flags, a note) and
DIR/grades.html (the same table; each cell links to that check's full verdicts; each
student's answers and predictions as text).

A broken, missing or hostile archive is refused with the reason in its rows, and the others
are graded: members with an absolute path, "..", links, devices, unknown names, or more than
%d members or %d KiB each are never written.

  --jobs N        checks at once (default: the number of processors, %d here). Each check
                  runs its expectations one at a time (CHECK_JOBS=1), so that no more test
                  programs run at once than there are processors: their timing bounds then
                  hold, and an honest program is not failed by a loaded machine.
  --unsandboxed   build and check without the sandbox where none can be made (only for
                  archives you trust)

Exit status: 0 when every archive was graded, 1 when one was refused or could not be
checked (its rows say why), 2 for a usage error or when nothing could be graded.
""" % (MAX_MEMBERS, MAX_MEMBER_BYTES >> 10, len(os.sched_getaffinity(0)))


class Refused(Exception):
    """An archive that is not unpacked, and why."""


class Stop(Exception):
    """The grading was interrupted by a signal."""


# Every process started is the leader of a session of its own, so that an interruption
# ends it and everything below it at once.
running = set()
running_lock = threading.RLock()  # the handler may come while the main thread holds it
stopping = []
main_starting = []  # the main thread is between starting a process and noting it


def start(argv, **kwargs):
    main = threading.current_thread() is threading.main_thread()
    with running_lock:
        if stopping:
            raise Stop()
        if main:
            main_starting.append(True)
        try:
            process = subprocess.Popen(argv, start_new_session=True, **kwargs)
            running.add(process)
        finally:
            if main:
                main_starting.clear()
        if stopping:  # the signal came while it started
            end_session(process, signal.SIGTERM)
            raise Stop()
    return process


def finish(process, timeout):
    """The process's status, its whole session ended after a timeout; None when it timed out."""
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        end_session(process, signal.SIGKILL)
        process.wait()
        return None
    finally:
        with running_lock:
            running.discard(process)


def end_session(process, sig):
    try:
        os.killpg(process.pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def on_signal(sig, _frame):
    # Python runs this between two steps of the main thread, not inside the signal: it may
    # take the lock the workers hold only around starting a process.
    with running_lock:
        if not stopping:
            stopping.append(sig)
        for process in running:
            end_session(process, signal.SIGTERM)
    if not main_starting:
        raise Stop()


def member_problem(member, seen, total):
    """Why this member may not be unpacked; None when it may."""
    name = member.name
    if name.startswith("/"):
        return "an absolute path: %s" % name
    parts = [part for part in name.split("/") if part not in ("", ".")]
    if ".." in parts:
        return "a path with '..': %s" % name
    if member.issym() or member.islnk():
        return "a link: %s -> %s" % (name, member.linkname)
    if member.isdev() or member.isfifo():
        return "a device or pipe: %s" % name
    if not (member.isfile() or member.isdir()):
        return "a member of an unknown kind: %s" % name
    if member.size > MAX_MEMBER_BYTES:
        return "a member of %d bytes (at most %d): %s" % (member.size, MAX_MEMBER_BYTES, name)
    if total > MAX_TOTAL_BYTES:
        return "more than %d bytes in all" % MAX_TOTAL_BYTES
    if "/".join(parts) in seen:
        return "the same member twice: %s" % name
    return None


def unpack(archive, into):
    """Writes the known members of archive into the empty directory into, each checked
    first (Python 3.11.2 has no extraction filter); returns the names left out."""
    if os.path.getsize(archive) > MAX_ARCHIVE_BYTES:
        raise Refused("the archive is larger than %d MiB" % (MAX_ARCHIVE_BYTES >> 20))
    left_out = []
    seen = set()
    total = 0
    try:
        with tarfile.open(archive, "r:gz") as tar:
            for count, member in enumerate(tar, start=1):
                if count > MAX_MEMBERS:
                    raise Refused("more than %d members" % MAX_MEMBERS)
                total += member.size
                problem = member_problem(member, seen, total)
                if problem:
                    raise Refused("it holds " + problem)
                name = "/".join(p for p in member.name.split("/") if p not in ("", "."))
                seen.add(name)
                if member.isdir():
                    continue
                if not KNOWN.fullmatch(name):
                    left_out.append(name)
                    continue
                data = tar.extractfile(member).read(MAX_MEMBER_BYTES + 1)
                if len(data) > MAX_MEMBER_BYTES:
                    raise Refused("a member is larger than it says: %s" % name)
                path = os.path.join(into, name)
                os.makedirs(os.path.dirname(path), mode=0o755, exist_ok=True)
                # O_EXCL and O_NOFOLLOW: a file is only ever made new, never written through.
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644)
                with os.fdopen(fd, "wb") as out:
                    out.write(data)
    except (tarfile.TarError, EOFError, OSError, ValueError) as error:
        raise Refused("it cannot be read as a .tar.gz: %s" % error) from None
    return left_out


def read_text(path, limit=MAX_MEMBER_BYTES):
    try:
        with open(path, "rb") as f:
            return f.read(limit).decode("utf-8", "replace")
    except OSError:
        return None


def read_json(path, limit=MAX_MEMBER_BYTES):
    text = read_text(path, limit)
    if text is None:
        return None
    try:
        value = json.loads(text)
    except ValueError:
        return None
    return value if isinstance(value, dict) else None


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        digest.update(f.read())
    return digest.hexdigest()


def student_of_name(archive):
    name = os.path.basename(archive)
    match = re.fullmatch(r"lab-(.*)-\d{8}-\d{6}\.tar\.gz", name)
    return match.group(1) if match else name


class Grading:
    """One archive: what was found in it, and one row per task."""

    def __init__(self, index, archive, work):
        self.index = index
        self.archive = archive
        self.work = work
        self.student = student_of_name(archive)
        self.refused = None
        self.notes = []
        self.answers = None
        self.predictions = None
        self.manifest = {}
        self.rows = {}


def row(task):
    return {"task": task, "held": 0, "failed": 0, "not_checked": 0, "total": 0,
            "failed_names": [], "mismatch": [], "note": [], "text": "", "handed_text": None,
            "expectations": [], "checked": False, "trouble": False}


def open_archive(grading):
    os.makedirs(grading.work, mode=0o755)
    files = os.path.join(grading.work, "archive")
    os.mkdir(files, 0o755)
    try:
        left_out = unpack(grading.archive, files)
    except Refused as refusal:
        grading.refused = str(refusal)
        for task in TASKS:
            grading.rows[task] = row(task)
            grading.rows[task]["note"].append("archive refused: " + grading.refused)
        return []
    if left_out:
        grading.notes.append("left in the archive, unknown: " + ", ".join(left_out))
    grading.answers = read_text(os.path.join(files, "answers.md"))
    grading.predictions = read_text(os.path.join(files, "predictions.md"))
    manifest = read_json(os.path.join(files, "manifest.json"))
    if manifest is None:
        grading.notes.append("no readable manifest.json: the student is named by the archive")
        manifest = {}
    grading.manifest = manifest
    user, host = manifest.get("user"), manifest.get("host")
    if isinstance(user, str) and isinstance(host, str):
        claimed = "%s@%s" % (user, host)
        if PLAIN_NAME.fullmatch(claimed):
            grading.student = claimed
        else:
            grading.notes.append("the manifest's user and host are not plain names")
    tasks = manifest.get("tasks") if isinstance(manifest.get("tasks"), dict) else {}
    jobs = []
    for task in TASKS:
        r = grading.rows[task] = row(task)
        entry = tasks.get(task)
        if not isinstance(entry, dict) or entry.get("attempted") is False:
            r["note"].append("not attempted" if isinstance(entry, dict) else
                             "not in the manifest")
            continue
        source = entry.get("source")
        if not (isinstance(source, str) and KNOWN.fullmatch(source)
                and source.startswith("sources/" + task)):
            r["note"].append("the manifest names no source for it")
            continue
        path = os.path.join(files, source)
        if not os.path.isfile(path):
            r["note"].append("its source %s is not in the archive" % source)
            continue
        if entry.get("source_sha256") != sha256(path):
            r["mismatch"].append("source differs from its manifest")
        jobs.append((grading, task, path))
    return jobs


def sandboxed(argv, scratch, options):
    """argv in the sandbox, with the checkout (the teacher's key) and the class's archives
    hidden: a source can #include, or embed with .incbin, any file the compiler can read."""
    return (["bash", os.path.join(ROOT, "check/sandbox"), "--scratch", scratch,
             "--time", str(BUILD_SECONDS), "--hide", ROOT, "--hide", options.dir]
            + (["--unsandboxed"] if options.unsandboxed else []) + ["--"] + argv)


def build(task, source, scratch, options):
    """The program built from source in scratch with the worksheet's command, and what the
    build said; the program is None when it did not build."""
    extension = os.path.splitext(source)[1]
    copy = os.path.join(scratch, task + extension)
    program = os.path.join(scratch, task)
    shutil.copyfile(source, copy)
    if extension == ".c":
        argv = ["gcc", "-std=gnu17", "-Wall", "-Wextra", "-o", program, copy]
    elif extension == ".cpp":
        argv = ["g++", "-std=c++20", "-Wall", "-Wextra", "-o", program, copy]
    else:
        with open(copy, "rb") as f:
            if f.read(2) != b"#!":
                return None, "%s: a script must start with a #! line" % os.path.basename(source)
        os.rename(copy, program)
        os.chmod(program, 0o755)
        return program, ""
    log = os.path.join(scratch, "build.log")
    with open(log, "wb") as out:
        process = start(sandboxed(argv, scratch, options), cwd=scratch, stdin=subprocess.DEVNULL,
                        stdout=out, stderr=subprocess.STDOUT)
    status = finish(process, BUILD_SECONDS + 10)
    said = read_text(log) or ""
    if status == 125:
        raise Refused(said.strip().splitlines()[-1] if said.strip() else "no sandbox")
    if status != 0 or not os.path.isfile(program):
        why = "took more than %d s" % BUILD_SECONDS if status in (None, 124) else "failed"
        return None, "the build %s: %s\n%s" % (why, " ".join(argv), said)
    return program, said


def check(grading, task, source, options):
    r = grading.rows[task]
    scratch = os.path.join(grading.work, task)
    os.mkdir(scratch, 0o755)
    try:
        program, said = build(task, source, scratch, options)
    except Refused as refusal:
        r["note"].append("cannot be graded here: " + str(refusal))
        r["trouble"] = True
        return
    if program is None:
        r["note"].append("does not build here")
        r["text"] = said
        handed = ((grading.manifest.get("tasks") or {}).get(task) or {}).get("status")
        if handed in (0, 1):
            r["mismatch"].append("built and checked there, does not build here")
        return
    verdicts = os.path.join(grading.work, task + ".json")
    log = os.path.join(grading.work, task + ".txt")
    argv = ["bash", os.path.join(ROOT, "check/run"), "--json", verdicts]
    if options.unsandboxed:
        argv.append("--unsandboxed")
    env = dict(os.environ, CHECK_JOBS="1", CHECK_BUILD_DIR=options.build, NO_COLOR="1")
    with open(log, "wb") as out:
        process = start(argv + [task, program], cwd=ROOT, env=env, stdin=subprocess.DEVNULL,
                        stdout=out, stderr=subprocess.STDOUT)
    status = finish(process, CHECK_SECONDS)
    r["text"] = (said + "\n" if said else "") + (read_text(log) or "")
    # Our own check's verdicts, cut at no member's bound: every reason in them can quote
    # the program's output, and a cut file would read as no verdicts at all.
    result = read_json(verdicts, OWN_JSON_BYTES)
    if status not in (0, 1) or result is None:
        said = (read_text(log) or "").strip().splitlines() or ["(nothing)"]
        ungraded = [line for line in said if line.startswith("this task cannot be graded here")]
        if status == 3 and result is not None:
            r["note"].append((ungraded or ["cannot be graded here: " + said[-1]])[0])
        else:
            why = "it took more than %d s" % CHECK_SECONDS if status is None else said[-1]
            r["note"].append("the check could not run: " + why)
        r["trouble"] = True
    if result is None:
        # Nothing seen here to compare with: a hand-in that claims verdicts is not taken.
        handed = read_json(os.path.join(grading.work, "archive", "checks", task + ".json"))
        claimed = handed.get("expectations") if handed is not None else None
        if isinstance(claimed, list) and any(isinstance(e, dict) and e.get("verdict") in
                                             ("held", "failed") for e in claimed):
            r["mismatch"].append("verdicts handed in, none seen here")
        return
    # A check that ran to the end counts even when its defining expectation could not be
    # checked here: what it saw is compared with what was handed in.
    r["checked"] = True
    for key in ("held", "failed", "not_checked", "total"):
        r[key] = result.get(key, 0) if isinstance(result.get(key), int) else 0
    expectations = [e for e in result.get("expectations", []) if isinstance(e, dict)]
    r["expectations"] = expectations
    r["failed_names"] = [str(e.get("name")) for e in expectations if e.get("verdict") == "failed"]
    compare(grading, task, expectations)


def compare(grading, task, ours):
    """Flags every verdict that differs from the one handed in."""
    r = grading.rows[task]
    files = os.path.join(grading.work, "archive")
    r["handed_text"] = read_text(os.path.join(files, "checks", task + ".txt"))
    handed = read_json(os.path.join(files, "checks", task + ".json"))
    if handed is None:
        r["mismatch"].append("no verdicts handed in")
        return
    theirs = {}
    for e in handed.get("expectations", []) if isinstance(handed.get("expectations"), list) else []:
        if isinstance(e, dict):
            theirs[str(e.get("name"))] = str(e.get("verdict"))
    differ = []
    for e in ours:
        name = str(e.get("name"))
        seen = theirs.pop(name, "missing")
        if seen != e.get("verdict"):
            differ.append("%s %s there, %s here" % (name, seen, e.get("verdict")))
    differ += ["%s %s there, missing here" % (name, seen) for name, seen in theirs.items()]
    if differ:
        r["mismatch"].append("differs from the hand-in: " + "; ".join(differ))
    program_sha = ((grading.manifest.get("tasks") or {}).get(task) or {}).get("program_sha256")
    if handed.get("sha256") != program_sha:
        r["mismatch"].append("the handed-in verdicts are not of the program in the manifest")


class Progress:
    """A line at a terminal that says how far the grading is."""

    def __init__(self, total):
        self.total = total
        self.done = 0
        self.started = time.monotonic()
        self.shown = sys.stderr.isatty()

    def step(self, done=0):
        self.done += done
        if self.shown:
            sys.stderr.write("\r\033[Klab/grade: %d of %d checks done (%d s)" % (
                self.done, self.total, time.monotonic() - self.started))
            sys.stderr.flush()

    def end(self):
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


CONTROL = re.compile(r"\x1b\[[0-9;]*[A-Za-z]|[\x00-\x08\x0b-\x1f\x7f]")


def plain(text):
    return CONTROL.sub("", text or "")


def csv_rows(gradings):
    rows = []
    for g in sorted(gradings, key=lambda g: (g.student, g.archive)):
        for task in TASKS:
            r = g.rows[task]
            rows.append([g.student, task, r["held"], r["failed"], r["not_checked"], r["total"],
                         " ".join(r["failed_names"]), "; ".join(r["mismatch"]),
                         "; ".join(r["note"] + g.notes)])
    return rows


def write_csv(path, gradings):
    with open(path + ".part", "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(["student", "task", "held", "failed", "not_checked", "total",
                      "failed_expectations", "mismatch", "note"])
        out.writerows([[plain(str(c)) for c in r] for r in csv_rows(gradings)])
    os.replace(path + ".part", path)


STYLE = """
body { font-family: sans-serif; margin: 2em; }
table { border-collapse: collapse; }
td, th { border: 1px solid #999; padding: 0.3em 0.6em; vertical-align: top; }
.full { background: #dfd; } .part { background: #ffd; } .none { background: #fdd; }
.flag { color: #a00; font-weight: bold; }
pre { background: #f4f4f4; padding: 0.6em; white-space: pre-wrap; }
"""


def write_html(path, gradings, seconds):
    e = html.escape
    ordered = sorted(gradings, key=lambda g: (g.student, g.archive))
    out = ["<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">",
           "<title>Lab grades</title><style>%s</style></head><body>" % STYLE,
           "<h1>Lab grades</h1><p>%d archives, graded in %.0f s. Each cell: expectations that "
           "hold, of all; it links to the full verdicts. <span class=\"flag\">!</span>: "
           "differs from what was handed in, or another flag.</p>" % (len(ordered), seconds),
           "<table><tr><th>student</th>%s</tr>" % "".join("<th>%s</th>" % e(t) for t in TASKS)]
    claims = collections.Counter(g.student for g in gradings)
    for g in ordered:
        cells = []
        for task in TASKS:
            r = g.rows[task]
            kind = "none" if not r["checked"] or r["held"] == 0 else (
                "full" if r["failed"] == 0 and r["not_checked"] == 0 else "part")
            shown = "%d of %d" % (r["held"], r["total"]) if r["checked"] else e(
                (r["note"] or ["-"])[0])
            flag = " <span class=\"flag\">!</span>" if r["mismatch"] else ""
            cells.append("<td class=\"%s\"><a href=\"#c%d-%s\">%s</a>%s</td>" % (
                kind, g.index, task, shown, flag))
        # Two archives that claim one student are told apart by their file names.
        archive = "<br><small>%s</small>" % e(os.path.basename(g.archive)) \
            if claims[g.student] > 1 else ""
        out.append("<tr><td><a href=\"#s%d\">%s</a>%s</td>%s</tr>" % (
            g.index, e(g.student), archive, "".join(cells)))
    out.append("</table>")
    for g in ordered:
        out.append("<h2 id=\"s%d\">%s</h2><p>%s</p>" % (
            g.index, e(g.student), e(os.path.basename(g.archive))))
        for note in g.notes + ([g.refused] if g.refused else []):
            out.append("<p class=\"flag\">%s</p>" % e(plain(note)))
        for task in TASKS:
            r = g.rows[task]
            out.append("<h3 id=\"c%d-%s\">%s: %s</h3>" % (
                g.index, task, e(g.student), e(task)))
            for words in r["mismatch"]:
                out.append("<p class=\"flag\">%s</p>" % e(plain(words)))
            for words in r["note"]:
                out.append("<p>%s</p>" % e(plain(words)))
            if r["text"]:
                out.append("<p>Here:</p><pre>%s</pre>" % e(plain(r["text"])))
            if r["handed_text"] is not None:
                out.append("<p>Handed in:</p><pre>%s</pre>" % e(plain(r["handed_text"])))
        for title, text in (("Answers", g.answers), ("Predictions", g.predictions)):
            out.append("<h3>%s</h3>" % title)
            out.append("<pre>%s</pre>" % e(plain(text)) if text is not None else "<p>none</p>")
    out.append("</body></html>\n")
    with open(path + ".part", "w", encoding="utf-8") as f:
        f.write("\n".join(out))
    os.replace(path + ".part", path)


def checks_build(options):
    """The build of the checks that every check/run here uses: the shared one when lab/ready
    made it, else setup/build's; built once, before the checks start side by side. All its
    targets, so that no list here lags behind check/run's."""
    if os.environ.get("CHECK_BUILD_DIR"):
        return os.environ["CHECK_BUILD_DIR"]
    process = start(["bash", os.path.join(ROOT, "setup/build"), "default"],
                    cwd=ROOT, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    out, _ = process.communicate()
    finish(process, 1)
    if process.returncode != 0:
        return None
    return out.decode().strip()


def main():
    parser = argparse.ArgumentParser(prog="bash lab/grade", usage=USAGE, add_help=False)
    parser.add_argument("-h", "--help", action="store_true")
    parser.add_argument("--unsandboxed", action="store_true")
    parser.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("dir", nargs="?")

    def refuse_usage(message):
        sys.stderr.write("lab/grade: %s (see bash lab/grade --help)\n" % message)
        sys.exit(2)
    parser.error = refuse_usage
    options = parser.parse_args()
    if options.help:
        sys.stdout.write(USAGE)
        return 0
    if options.dir is None:
        sys.stderr.write("usage: bash lab/grade [--unsandboxed] [--jobs N] DIR (see --help)\n")
        return 2
    if not os.path.isdir(options.dir):
        sys.stderr.write("lab/grade: %s is not a directory: name the folder of the archives\n"
                         % options.dir)
        return 2
    if options.jobs < 1:
        sys.stderr.write("lab/grade: --jobs needs a number of 1 or more\n")
        return 2
    options.dir = os.path.abspath(options.dir)
    archives = sorted(os.path.join(options.dir, name) for name in os.listdir(options.dir)
                      if name.endswith(".tar.gz"))
    if not archives:
        sys.stderr.write("lab/grade: no .tar.gz in %s: put there the archives lab/submit "
                         "wrote\n" % options.dir)
        return 2

    if not options.unsandboxed:
        probe = subprocess.run(["bash", os.path.join(ROOT, "check/sandbox"), "--check"],
                               stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if probe.returncode != 0:
            why = (probe.stderr.strip().splitlines() or ["check/sandbox failed"])[-1]
            sys.stderr.write("lab/grade: a stranger's source is built and run only in the "
                             "sandbox: %s (--unsandboxed grades without it)\n" % why)
            return 2
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    # Under /var/tmp: as root the sandbox's user, 65534, must reach each scratch directory.
    base = tempfile.mkdtemp(prefix="lab-grade-", dir="/var/tmp")
    os.chmod(base, 0o755)  # the sandbox's user reaches the programs and sources in it
    started = time.monotonic()
    gradings = []
    pool = concurrent.futures.ThreadPoolExecutor(options.jobs)
    try:
        options.build = checks_build(options)
        if options.build is None:
            sys.stderr.write("lab/grade: the checks could not be built (see above)\n")
            return 2
        jobs = []
        for i, archive in enumerate(archives):
            g = Grading(i, archive, os.path.join(base, str(i)))
            gradings.append(g)
            try:
                jobs += open_archive(g)
            except OSError as error:  # one archive's fault never stops the others
                g.refused = "it could not be unpacked here: %s" % error
                for task in TASKS:
                    g.rows[task] = row(task)
                    g.rows[task]["note"].append("archive refused: " + g.refused)
        progress = Progress(len(jobs))
        progress.step()
        futures = {pool.submit(check, g, task, source, options): (g, task)
                   for g, task, source in jobs}
        for future in concurrent.futures.as_completed(futures):
            g, task = futures[future]
            try:
                future.result()
            except Stop:
                raise
            except Exception as error:  # one archive's fault never stops the others
                g.rows[task]["note"].append("the grading failed: %r" % error)
                g.rows[task]["trouble"] = True
            progress.step(1)
        progress.end()
        claimed = {}
        for g in gradings:
            claimed.setdefault(g.student, []).append(g)
        for student, same in claimed.items():
            if len(same) > 1:
                for g in same:
                    others = ", ".join(os.path.basename(o.archive) for o in same if o is not g)
                    for task in TASKS:
                        g.rows[task]["mismatch"].append("same student as " + others)
        seconds = time.monotonic() - started
        write_csv(os.path.join(options.dir, "grades.csv"), gradings)
        write_html(os.path.join(options.dir, "grades.html"), gradings, seconds)
    except Stop:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        # Every session had SIGTERM; one that is still there after a few seconds, SIGKILL.
        deadline = time.monotonic() + 10
        while running and time.monotonic() < deadline:
            time.sleep(0.1)
        with running_lock:
            for process in running:
                end_session(process, signal.SIGKILL)
        pool.shutdown(wait=True, cancel_futures=True)
        shutil.rmtree(base, ignore_errors=True)
        sig = stopping[0]
        signal.signal(sig, signal.SIG_DFL)
        os.kill(os.getpid(), sig)
        return 128 + sig
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        shutil.rmtree(base, ignore_errors=True)
    trouble = sum(1 for g in gradings for r in g.rows.values() if g.refused or r["trouble"])
    print("%d archives, %d checks: %s (%.0f s)" % (
        len(gradings), sum(1 for g in gradings for r in g.rows.values() if r["checked"]),
        os.path.join(options.dir, "grades.csv"), time.monotonic() - started))
    return 1 if trouble else 0


if __name__ == "__main__":
    sys.exit(main())
