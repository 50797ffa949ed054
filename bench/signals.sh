#!/usr/bin/env bash
# Times each signal demonstration: the parent's run against CYCLES x INTERVAL_SECONDS, and
# the largest distance of a child line from the moment of its cycle.
# Usage: bench/signals.sh [directory holding kill_a, kill_b, kill_c]
set -euo pipefail
bin=${1:-$(dirname "$0")/../build/default/signals}

printf '%-7s %-14s %-12s %s\n' program expected_s parent_s worst_line_offset_ms
for schedule in "kill_a 5 1" "kill_b 8 3" "kill_c 7 1"; do
    read -r name cycles interval <<<"$schedule"
    stamps=$(mktemp)
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    (while IFS= read -r _; do echo "$EPOCHREALTIME"; done <"$fifo" >"$stamps") &
    reader=$!
    start=$EPOCHREALTIME
    "$bin/$name" >"$fifo"
    parent_end=$EPOCHREALTIME
    wait "$reader" # ends when the child, quit in the last cycle, closes the pipe
    awk -v name="$name" -v start="$start" -v end="$parent_end" \
        -v cycles="$cycles" -v interval="$interval" '
        { offset = $1 - start - NR * interval; if (offset < 0) offset = -offset
          if (offset > worst) worst = offset }
        END { if (NR != cycles) printf "warning: %d lines, expected %d\n", NR, cycles
              printf "%-7s %-14d %-12.3f %.1f\n", name, cycles * interval, end - start, worst * 1000 }' \
        "$stamps"
    rm -f "$stamps" "$fifo"
done
