# Turns the tour's cut of a kill_a, kill_b or kill_c run (signals.awk's output) into a
# message sequence chart for mscgen: a lane for the parent, the child and watch, which
# reaps them as a shell and init would. The block before the split and each handler's line
# are boxes on their lane; the split, each signal and each reaping are arrows. mscgen has
# no time axis, so every box and arrow carries its time, in seconds since the parent's
# first call.
#
# Input: signals.awk's lines "  SECONDS  parent|child|tour  EVENT"; its notes, indented
# further, are left out. Output: the chart, for mscgen -T svg.

# A label's text, quoted for mscgen, where a backslash starts an escape.
function arc(from, how, to, text)
{
    printf "  %s %s %s [label=%s];\n", from, how, to, quoted(text)
}

function box(lane, text)
{
    arc(lane, "box", lane, sprintf("%s s  %s", time, text))
}

function arrow(from, how, to, text)
{
    arc(from, how, to, sprintf("%s (%s s)", text, time))
}

# The end of a process, from strace's "+++ exited with 0 +++" or "+++ killed by SIGX +++".
function ended(who, text)
{
    sub(/^\+\+\+ /, "", text)
    sub(/ \+\+\+$/, "", text)
    box(who, who " " text)
    gone[who] = time
}

BEGIN {
    print "msc {"
    print "  hscale=\"1.3\", arcgradient=\"0\";"
    print "  parent [label=\"parent\"], child [label=\"child\"], tour [label=\"watch (the tour)\"];"
}

$1 !~ /^[0-9]+\.[0-9]+$/ || $2 !~ /^(parent|child|tour)$/ {
    next
}
{
    time = $1
    who = $2
    text = $0
    sub(/^ +[0-9.]+ +[a-z]+ +/, "", text)
}

who == "parent" && text ~ /^rt_sigprocmask\(SIG_BLOCK, \[HUP INT QUIT\]/ {
    box("parent", "SIGHUP, SIGINT, SIGQUIT blocked")
}
who == "parent" && text ~ /^rt_sigaction\(SIGCHLD, \{sa_handler=SIG_DFL/ {
    box("parent", "SIGCHLD at its default")
}
who == "parent" && text ~ /^(clone3?|v?fork)\(.*= <child>$/ {
    arrow("parent", "=>", "child", "fork()")
}
who == "child" && text ~ /^rt_sigaction\(SIG[A-Z]+, \{sa_handler=0x/ && !handled {
    handled = 1
    box("child", "handler set for SIGHUP, SIGINT, SIGQUIT")
}
who == "child" && text ~ /^rt_sigprocmask\(SIG_UNBLOCK, \[HUP INT QUIT\]/ {
    box("child", "the three unblocked")
}
who == "parent" && text ~ /^kill\(<child>, SIG[A-Z]+\)/ {
    signal = text
    sub(/^kill\(<child>, /, "", signal)
    sub(/\).*/, "", signal)
    arrow("parent", "->", "child", signal)
}
who != "tour" && text ~ /^write\(1, "/ {
    line = text
    sub(/^write\(1, "/, "", line)
    sub(/(\\n)?"\.*, [0-9]+\) = .*$/, "", line)
    box(who, line)
}
who != "tour" && text ~ /^\+\+\+ / {
    ended(who, text)
    if (who == "parent" && !("child" in gone))
        arc("child", "abox", "child", "orphan: adopted by watch, the subreaper")
    if (who == "child" && !("child" in reaped))
        arc("child", "rbox", "child", "zombie: ended, not yet reaped")
}
who == "tour" && text ~ /^wait(4|id)\(.*= <(parent|child)>$/ {
    dead = text
    sub(/.*= </, "", dead)
    sub(/>$/, "", dead)
    reaped[dead] = time
    arrow(dead, ">>", "tour", "the " dead " reaped by wait4()")
}

END {
    print "}"
}
