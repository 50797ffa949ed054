# Cuts valgrind's log of leakdemo down to the allocator's side of the story: each
# allocation with its address and whether it was ever freed, each free and what it
# released, then the verdict at exit. The free(0x0) calls of the C library's clean-up,
# which free nothing, are counted instead of shown.
#
# Input: the log of valgrind --trace-malloc=yes --leak-check=full.

function note(text)
{
    printf "%6s%s\n", "", text
}

# --PID-- malloc(40) = 0x4A43080, --PID-- free(0x4A43080), --PID-- free(0x0)
/^--[0-9]+-- [a-z_]+\(/ {
    call = $0
    sub(/^--[0-9]+-- /, "", call)
    if (call == "free(0x0)") {
        ++free_nothing
        next
    }
    calls[++n] = call
    if (call ~ /^free\(/) {
        ++frees
        address = call
        sub(/^free\(/, "", address)
        sub(/\)$/, "", address)
        freed[address] = 1
    }
    next
}

# The verdict, from the report valgrind writes at exit.
{
    text = $0
    sub(/^==[0-9]+== */, "", text)
}
text ~ /^in use at exit:|^total heap usage:|^definitely lost:/ {
    verdict[++lines] = text
}
text ~ /are definitely lost in loss record/ {
    verdict[++lines] = text
    in_record = 1
    next
}
in_record && text ~ /^(at|by) 0x[0-9A-F]+: / {
    if (text !~ /\(in \//) # a frame of the program's, not of valgrind's malloc
        verdict[++lines] = "   " text
    next
}
{
    in_record = 0
}

END {
    for (i = 1; i <= n; ++i) {
        call = calls[i]
        if (call ~ /^free\(/) {
            address = call
            sub(/^free\(/, "", address)
            sub(/\)$/, "", address)
            printf "  %-28s%s\n", call, address in made_by ? "releases " made_by[address] : ""
            if (made_by[address] ~ /^malloc\((1024|4096)\)/)
                note("(valgrind has the C library free its buffers at exit; a plain run does not)")
            continue
        }
        address = call
        sub(/.* = /, "", address)
        made_by[address] = call
        sub(/ = .*/, "", made_by[address])
        printf "  %-28s%s\n", call, address in freed ? "freed later" : "never freed"
        if (call ~ /^malloc\(40\)/)
            note("create_memory_leak(): ten integers, whose only pointer is then dropped")
        else if (call ~ /^calloc\(10,4\)/)
            note("fix_memory_leak(): ten zero-filled integers, printed, then freed")
        else if (call ~ /^malloc\((1024|4096)\)/)
            note("the C library's buffer for standard output, made at the first puts():")
        # Under --predict (predict=1) why its size differs is a question still to come.
        if (predict)
            continue
        if (call ~ /^malloc\(4096\)/)
            note("4096 bytes into a pipe or a file, as here (1024 at a terminal)")
        else if (call ~ /^malloc\(1024\)/)
            note("1024 bytes at a terminal, as here (4096 into a pipe or a file)")
    }
    if (free_nothing > 0)
        printf "  (and %d calls of free(0x0), which free nothing: the C library's clean-up)\n",
            free_nothing
    print ""
    for (i = 1; i <= lines; ++i) {
        printf "  %s\n", verdict[i]
        if (verdict[i] ~ /^in use at exit:/)
            note("the block that was never freed, still held when the process ended")
        else if (verdict[i] ~ /^total heap usage:/)
            note(sprintf("the %d allocations above, and the %d frees that released something",
                         n - frees, frees))
        else if (verdict[i] ~ /^definitely lost:/)
            note("no pointer to it was left anywhere: a leak")
    }
}
