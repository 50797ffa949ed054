# Cuts the tour's strace record of kill_a, kill_b or kill_c down to the story the program
# tells: the signals blocked and SIGCHLD reset before the split, the child's handler and
# its unblocking, each cycle's kill and delivery and line, and the two exits. Each line is
# tagged parent or child instead of a pid, and the first of each kind gets a short note.
#
# predict=1 (the tour's --predict): the notes hold back what the worksheet asks later.
#
# Input: strace -f -q -ttt of watch running the program, one "PID SECONDS EVENT" a line.
# watch is the first process in it; the parent is the process watch's clone() made, the
# child the one the parent's made. watch's own lines are left out but for its waits that
# reap the two (tagged tour: watch stands for the shell and init), and so is whatever the
# parent-to-be did before it became the program: all before its execve(), when the record
# has execve, or else the C library's part of watch's fork() (see below).
#
# The notes go to calls by what the calls do, never by their place: a C library may make
# calls of its own around the program's. glibc 2.41 and later block every signal inside
# fork(), around the clone(), and set the mask back afterwards in both processes; those
# calls get notes of their own.

# Replaces every copy of the literal text from in s by to (no regular expressions: the
# texts hold parentheses and brackets).
function replace(s, from, to,    out, at)
{
    out = ""
    while ((at = index(s, from)) > 0) {
        out = out substr(s, 1, at - 1) to
        s = substr(s, at + length(from))
    }
    return out s
}

# The pid a clone() or fork() returned, or "" for any other event.
function made(text)
{
    if (text !~ /^(clone3?|v?fork)\(/ || text !~ /= [0-9]+$/)
        return ""
    sub(/.*= /, "", text)
    return text
}

# The arguments of rt_sigprocmask(HOW, SET, OLD, 8) as mask["how"], mask["set"] and
# mask["old"] ("[HUP INT QUIT]", "~[]", "[]", "NULL"); false for any other event. The sets
# hold blanks but never commas.
function sigprocmask(text, mask,    args)
{
    delete mask
    if (text !~ /^rt_sigprocmask\(/)
        return 0
    sub(/^rt_sigprocmask\(/, "", text)
    if (split(text, args, ", ") < 4)
        return 0
    mask["how"] = args[1]
    mask["set"] = args[2]
    mask["old"] = args[3]
    return 1
}

# The note for a kind of event, under its first line only; "\n" starts a line of the note.
function note(key, text,    lines, count, l)
{
    if (key in noted)
        return
    noted[key] = 1
    count = split(text, lines, "\n")
    for (l = 1; l <= count; ++l)
        printf "%18s%s\n", "", lines[l]
}

{
    pid = $1
    text = $0
    sub(/^[0-9]+ +[0-9.]+ /, "", text)
    # strace splits a call that another process interrupts into two lines; the call is
    # shown whole, where it began. A wait is the exception: it begins long before it
    # returns, and what it did (reap a process) happened where it returned.
    if (text ~ /^<\.\.\. [a-z0-9_]+ resumed>/) {
        sub(/^<\.\.\. [a-z0-9_]+ resumed> ?/, "", text)
        if (pid in waiting) {
            text = waiting[pid] text
            delete waiting[pid]
        } else {
            if (pid in open) {
                event[open[pid]] = event[open[pid]] text
                delete open[pid]
            }
            next
        }
    } else if (text ~ /^wait(4|id)\(.* <unfinished \.\.\.>$/) {
        sub(/ <unfinished \.\.\.>$/, "", text)
        waiting[pid] = text
        next
    }
    ++n
    who[n] = pid
    at[n] = $2
    if (sub(/ <unfinished \.\.\.>$/, "", text))
        open[pid] = n
    event[n] = text
}

# The pid a wait returned, or "" for any other event or a failed wait.
function reaped(text)
{
    if (text !~ /^wait(4|id)\(/ || text !~ /= [0-9]+$/)
        return ""
    sub(/.*= /, "", text)
    return text
}

END {
    for (i = 1; i <= n; ++i) {
        if (parent == "" && who[i] == who[1])
            parent = made(event[i])
        else if (child == "" && parent != "" && who[i] == parent)
            child = made(event[i])
    }
    if (parent == "" || child == "") {
        print "  (the trace shows no parent and child: the program did not split)"
        exit
    }

    # The program begins at the parent's execve(), where the record has it.
    first = 1
    for (i = 1; i <= n; ++i) {
        if (who[i] == parent && event[i] ~ /^execve\(/ && event[i] ~ /= 0$/) {
            first = i + 1
            break
        }
    }

    # What each call is, by what it does. The C library's part of a fork(): a process that
    # blocks every signal (~[]) and then clones is inside fork(); its next SIG_SETMASK that
    # gives back the mask it had, and the new process's first call if it does the same, are
    # the library's too. The program's own: the three signals blocked, SIGCHLD set to its
    # default, the split, the parent's mask set back to what it was before the block, the
    # child's handler and its unblocking.
    for (i = 1; i <= n; ++i) {
        pid = who[i]
        text = event[i]
        fresh = pid in newborn ? newborn[pid] : ""
        delete newborn[pid]
        if (sigprocmask(text, mask)) {
            if (mask["how"] == "SIG_BLOCK" && mask["set"] == "~[]") {
                kind[i] = "library block"
                forking[pid] = mask["old"]
            } else if (mask["how"] == "SIG_SETMASK" && pid in restoring &&
                       mask["set"] == restoring[pid]) {
                kind[i] = "library restore"
                delete restoring[pid]
            } else if (mask["how"] == "SIG_SETMASK" && fresh != "" && mask["set"] == fresh) {
                kind[i] = "library restore in the new process"
            } else if (pid == parent && mask["how"] == "SIG_BLOCK" &&
                       mask["set"] == "[HUP INT QUIT]") {
                kind[i] = "block"
                blocked_from = mask["old"]
            } else if (pid == parent && mask["how"] == "SIG_SETMASK" && blocked_from != "" &&
                       mask["set"] == blocked_from) {
                kind[i] = "restore"
            } else if (pid == child && mask["how"] == "SIG_UNBLOCK" &&
                       mask["set"] == "[HUP INT QUIT]") {
                kind[i] = "unblock"
            }
        } else if (made(text) != "") {
            kind[i] = "split"
            if (pid in forking) {
                newborn[made(text)] = forking[pid]
                restoring[pid] = forking[pid]
                delete forking[pid]
            }
        } else if (text ~ /^rt_sigaction\(SIGCHLD, \{sa_handler=SIG_DFL/) {
            kind[i] = "sigchld"
        } else if (text ~ /^rt_sigaction\(SIG(HUP|INT|QUIT), \{sa_handler=0x/) {
            kind[i] = "handler"
        }
    }

    # The story's lines, cut to what it needs: only the parent's and the child's, and of the
    # parent-to-be nothing before it became the program.
    m = 0
    for (i = 1; i <= n; ++i) {
        if (who[i] == who[1] && (reaped(event[i]) == parent || reaped(event[i]) == child))
            kind[i] = reaped(event[i]) == parent ? "reaps parent" : "reaps child"
        else if (who[i] != parent && who[i] != child)
            continue
        if (who[i] == parent && (i < first || kind[i] == "library restore in the new process"))
            continue
        text = event[i]
        sub(/\) +=/, ") =", text) # strace pads the result to a column
        if (text ~ /^rt_sigaction\(/) # the new action; the old one and libc's plumbing cut
            sub(/, sa_flags=[^}]*}.*\) = /, "}, ...) = ", text)
        if (text ~ /^(clone3?|v?fork)\(/) { # the signal the parent gets when the child ends
            sub(/flags=[A-Z_|]*\|SIGCHLD/, "flags=...|SIGCHLD", text)
            sub(/, child_tidptr=[^)]*\)/, ", ...)", text)
        }
        if (text ~ /^--- SIG/)
            sub(/si_signo=SIG[A-Z]+, /, "", text)
        text = replace(text, "kill(" child ",", "kill(<child>,")
        text = replace(text, "si_pid=" parent ",", "si_pid=<parent>,")
        if (made(text) == child || reaped(text) == child)
            sub(/= [0-9]+$/, "= <child>", text)
        else if (reaped(text) == parent)
            sub(/= [0-9]+$/, "= <parent>", text)
        ++m
        tag[m] = who[i] == parent ? "parent" : who[i] == child ? "child" : "tour"
        line[m] = text
        when[m] = at[i]
        what[m] = kind[i]
    }

    printf "  parent is pid %s, child is pid %s; seconds since the parent's first call:\n",
        parent, child
    for (i = 1; i <= m; ++i) {
        printf "  %6.3f  %-6s  %s\n", when[i] - when[1], tag[i], line[i]
        t = tag[i] " " what[i]
        if (t == "parent block")
            note(t, "the three signals blocked before the split: the child inherits the mask")
        else if (t == "parent sigchld") # under --predict, what a dead child is asked later
            note(t, predict ? "SIGCHLD at its default action" : \
                    "SIGCHLD at its default: a dead child stays a zombie and keeps its pid")
        else if (t == "parent library block")
            note(t, "the C library's own call, inside fork(): every signal blocked across the\n" \
                    "clone, so that no handler runs in the new process before the library has\n" \
                    "set it up (glibc 2.41 and later)")
        else if (t == "parent split")
            note(t, "the split: fork() is clone() underneath; it returns the child's pid")
        else if (t == "parent library restore")
            note(t, "still inside fork(): the C library puts back the mask from before fork()")
        else if (t == "child library restore in the new process")
            note(t, "the same in the child, still inside fork(): the mask from before fork()")
        else if (t == "parent restore")
            note(t, "the parent takes its old mask back; its actions are what it inherited")
        else if (t == "child handler")
            note(t, "the child's handler; its sa_mask holds all three back while it runs")
        else if (t == "child unblock")
            note(t, "handler in place: a signal held back since the split would arrive now")
        else if (line[i] ~ /^kill\(<child>, SIGHUP\)/)
            note("cycle", "a cycle: the parent wakes and signals its child")
        else if (tag[i] == "child" && line[i] ~ /^--- SIG/)
            note("delivery", predict ? \
                             "the kernel delivers it; strace sees the sender (si_pid)" : \
                             "the kernel delivers it; strace sees the sender (si_pid), the\n" \
                             "handler is not told")
        else if (tag[i] == "child" && line[i] ~ /^write\(1, "Child: /)
            note("line", "the handler's line, written at once: standard output is line buffered")
        else if (line[i] ~ /^kill\(<child>, SIGQUIT\)/)
            note("last", "the last cycle: SIGQUIT")
        else if (tag[i] == "child" && line[i] ~ /^exit_group\(/)
            note("child exit", "the handler calls exit(): the child ends")
        else if (tag[i] == "parent" && line[i] ~ /^exit_group\(/)
            note("parent exit", "the parent returns from main(), never waiting for its child")
        else if (t == "tour reaps parent")
            note(t, "the tour's watch, which started the parent, reaps it, as a shell would")
        else if (t == "tour reaps child")
            note(t, "its parent never waited for it: watch, the subreaper that adopted it when\n" \
                    "its parent ended, reaps it" \
                    (predict ? "" : "; from its exit until now it was a zombie"))
    }
}
