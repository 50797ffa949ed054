#!/usr/bin/env bash
if [ -z "${BASH_VERSION:-}" ]; then echo "bench/signals.sh: run it with bash: bash bench/signals.sh" >&2; exit 2; fi
# Times each signal demonstration: the parent's run against CYCLES x INTERVAL_SECONDS, and
# the largest distance of a child line from the moment of its cycle.
# Usage: bench/signals.sh [directory holding kill_a, kill_b, kill_c]
# Without a directory it uses the demos preset's build (the tour's), building it if needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

case ${1:-} in
-h | --help)
    echo "usage: bash bench/signals.sh [DIRECTORY]"
    echo "  Times kill_a, kill_b and kill_c (36 s): each parent's run, and how far each child"
    echo "  line lands from the moment of its cycle. DIRECTORY holds the three programs; without"
    echo "  it, the tour's build (build/demos), built first if needed."
    echo "  Environment: TMPDIR (where its temporary files go)."
    exit 0
    ;;
esac
if [ $# -eq 0 ]; then
    bash "$root/setup/need" bench || exit
    bin=$(bash "$root/setup/build" demos)/signals
else
    bin=$(cd "$1" && pwd)
fi
for name in kill_a kill_b kill_c; do
    [[ -x $bin/$name ]] || { echo "bench/signals.sh: no program $bin/$name" >&2; exit 2; }
done

work=$(mktemp -d)
group='' reader=''
# Interrupted, end the demonstration whole: its child, orphaned at the terminal's
# interrupt key, would otherwise run on. Each run has a session and process group of its
# own (setsid), which its orphaned child keeps, so one kill reaches both processes.
interrupted() {
    trap - "$1"
    [ -z "$group" ] || kill -KILL -- "-$group" 2>/dev/null || true
    [ -z "$reader" ] || kill "$reader" 2>/dev/null || true
    wait 2>/dev/null # no "Killed" report for the job
    rm -rf "$work"
    kill -s "$1" $$
}
# shellcheck disable=SC2064 # the signal's name, fixed now
for sig in INT TERM HUP; do trap "interrupted $sig" "$sig"; done

printf '%-7s %-14s %-12s %s\n' program expected_s parent_s worst_line_offset_ms
for schedule in "kill_a 5 1" "kill_b 8 3" "kill_c 7 1"; do
    read -r name cycles interval <<<"$schedule"
    stamps=$work/$name.stamps
    fifo=$work/$name.fifo
    mkfifo "$fifo"
    (while IFS= read -r _; do echo "$EPOCHREALTIME"; done <"$fifo" >"$stamps") &
    reader=$!
    start=$EPOCHREALTIME
    # In the background, so that a trapped signal interrupts the wait at once.
    (trap - INT QUIT; exec setsid "$bin/$name" >"$fifo") &
    group=$!
    wait "$group"
    parent_end=$EPOCHREALTIME
    wait "$reader" # ends when the child, quit in the last cycle, closes the pipe
    group='' reader=''
    awk -v name="$name" -v start="$start" -v end="$parent_end" \
        -v cycles="$cycles" -v interval="$interval" '
        { offset = $1 - start - NR * interval; if (offset < 0) offset = -offset
          if (offset > worst) worst = offset }
        END { if (NR != cycles) printf "warning: %d lines, expected %d\n", NR, cycles
              printf "%-7s %-14d %-12.3f %.1f\n", name, cycles * interval, end - start, worst * 1000 }' \
        "$stamps"
done
rm -rf "$work"
