#!/usr/bin/env bash
if [ -z "${BASH_VERSION:-}" ]; then echo "bench/startup.sh: run it with bash: bash bench/startup.sh" >&2; exit 2; fi
# Start-up cost of leakdemo and farewell against the same work built as plain C: median
# wall time of a whole run (fork, exec, dynamic loading, the work, exit), median peak
# resident memory, and the libraries each loads at run time.
# Usage: bench/startup.sh [build directory] [runs]
# Without a build directory it uses the demos preset's build (the tour's), building it if
# needed. Needs gcc and GNU time (Debian package time).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

case ${1:-} in
-h | --help)
    echo "usage: bash bench/startup.sh [BUILD_DIRECTORY] [RUNS]"
    echo "  Start-up time (median of RUNS runs, 500 by default) and peak memory of leakdemo and"
    echo "  farewell against the same work in plain C (bench/baseline), and the libraries each"
    echo "  loads. BUILD_DIRECTORY: a build tree of the project; without it, the tour's build"
    echo "  (build/demos), built first if needed."
    echo "  Environment: TMPDIR (where its temporary files go)."
    exit 0
    ;;
esac
bash "$here/../setup/need" bench || exit
if [ $# -eq 0 ]; then
    build=$(bash "$here/../setup/build" demos)
else
    build=$(cd "$1" && pwd)
fi
for program in heap/leakdemo exit_handlers/farewell; do
    [[ -x $build/$program ]] || { echo "bench/startup.sh: no program $build/$program" >&2; exit 2; }
done
runs=${2:-500}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck disable=SC2064 # the signal's name, fixed now; $work and $$ when it comes
for sig in INT TERM HUP; do trap "rm -rf \"\$work\"; trap - $sig; kill -s $sig \$\$" "$sig"; done

# The same optimization and linking as the C++ programs' default build.
for name in leakdemo farewell; do
    gcc -std=c17 -O2 -g -Wl,--as-needed "$here/baseline/$name.c" -o "$work/$name-c"
done
cp "$build/heap/leakdemo" "$work/leakdemo-cpp"
cp "$build/exit_handlers/farewell" "$work/farewell-cpp"
cd "$work"

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Microseconds of one run, from bash's clock (the same fork and exec cost for both).
time_run() {
    local start=${EPOCHREALTIME/./}
    "$1" >/dev/null
    echo $((${EPOCHREALTIME/./} - start))
}

printf '%-9s %-5s %16s %14s  %s\n' program build median_start_us peak_rss_kib libraries
for name in leakdemo farewell; do
    for _ in $(seq "$runs"); do # interleaved, so drift in the machine's load hits both alike
        time_run "./$name-cpp" >>"$name-cpp.us"
        time_run "./$name-c" >>"$name-c.us"
    done
    for build_kind in cpp c; do
        program=./$name-$build_kind
        rss=$(for _ in $(seq 50); do /usr/bin/time -f %M "$program" 2>&1 >/dev/null | tail -n 1; done | median)
        libs=$(readelf -d "$program" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | paste -sd ' ')
        label=C++
        [ "$build_kind" = c ] && label=C
        printf '%-9s %-5s %16s %14s  %s\n' "$name" "$label" \
            "$(median <"$name-$build_kind.us")" "$rss" "$libs"
    done
done
