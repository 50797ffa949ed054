# Cuts the tour's strace record of kill_a, kill_b or kill_c down to the story the program
# tells: the signals blocked and SIGCHLD reset before the split, the child's handler and
# its unblocking, each cycle's kill and delivery and line, and the two exits. Each line is
# tagged parent or child instead of a pid, and the first of each kind gets a short note.
#
# Input: strace -f -q -ttt of watch running the program, one "PID SECONDS EVENT" a line.
# watch is the first process in it; the parent is the process watch's clone() made, the
# child the one the parent's made. watch's own lines are left out.

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

function note(key, text)
{
    if (!(key in noted)) {
        noted[key] = 1
        printf "%18s%s\n", "", text
    }
}

{
    pid = $1
    text = $0
    sub(/^[0-9]+ +[0-9.]+ /, "", text)
    # strace splits a call that another process interrupts into two lines; the call is
    # shown whole, where it began.
    if (text ~ /^<\.\.\. [a-z0-9_]+ resumed>/) {
        sub(/^<\.\.\. [a-z0-9_]+ resumed> ?/, "", text)
        if (pid in open) {
            event[open[pid]] = event[open[pid]] text
            delete open[pid]
        }
        next
    }
    ++n
    who[n] = pid
    at[n] = $2
    if (sub(/ <unfinished \.\.\.>$/, "", text))
        open[pid] = n
    event[n] = text
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

    # The story's lines, cut to what it needs.
    m = 0
    for (i = 1; i <= n; ++i) {
        if (who[i] != parent && who[i] != child)
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
        if (made(text) == child)
            sub(/= [0-9]+$/, "= <child>", text)
        ++m
        tag[m] = who[i] == parent ? "parent" : "child"
        line[m] = text
        when[m] = at[i]
    }

    printf "  parent is pid %s, child is pid %s; seconds since the parent's first call:\n",
        parent, child
    for (i = 1; i <= m; ++i) {
        printf "  %6.3f  %-6s  %s\n", when[i] - when[1], tag[i], line[i]
        t = tag[i] " " line[i]
        if (t ~ /^parent rt_sigprocmask\(SIG_BLOCK/)
            note(t, "the three signals blocked before the split: the child inherits the mask")
        else if (t ~ /^parent rt_sigaction\(SIGCHLD, \{sa_handler=SIG_DFL/)
            note(t, "SIGCHLD at its default: a dead child stays a zombie and keeps its pid")
        else if (t ~ /^parent (clone3?|v?fork)\(/)
            note("split", "the split: fork() is clone() underneath; it returns the child's pid")
        else if (t ~ /^parent rt_sigprocmask\(SIG_SETMASK/)
            note(t, "the parent takes its old mask back, and keeps the default actions")
        else if (t ~ /^child rt_sigaction\(/)
            note("handler", "the child's handler; its sa_mask holds all three back while it runs")
        else if (t ~ /^child rt_sigprocmask\(SIG_UNBLOCK/)
            note(t, "handler in place: a signal held back since the split would arrive now")
        else if (t ~ /^parent kill\(<child>, SIGHUP\)/)
            note(t, "a cycle: the parent wakes and signals its child")
        else if (t ~ /^child --- SIG.*si_pid=<parent>,/)
            note("delivery", "the kernel delivers it and names the sender: the parent")
        else if (t ~ /^child write\(1, "Child: /)
            note("line", "the handler's line, written at once: standard output is line buffered")
        else if (t ~ /^parent kill\(<child>, SIGQUIT\)/)
            note(t, "the last cycle: SIGQUIT")
        else if (t ~ /^child exit_group\(/)
            note(t, "the handler calls exit(): the child ends")
        else if (t ~ /^parent exit_group\(/)
            note(t, "the parent returns from main(), never waiting for its child")
    }
}
