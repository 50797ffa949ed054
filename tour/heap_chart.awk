# Turns the tour's cut of leakdemo's valgrind log (heap.awk's output) into a graph for
# graphviz: who asked for each block (the program's two functions, or the C library for
# standard output's buffer), the blocks on the heap, and each free() that released one.
# The arrows are numbered in the order valgrind saw the calls; a block never freed is
# drawn red, with valgrind's verdict on it.
#
# Input: heap.awk's lines, "  malloc(40) = 0x4A43080    never freed", "  free(0x4A43080)
# releases malloc(40)", and the verdict at exit. Output: the graph, for dot -Tsvg.

# Who asked for a block, by its size: heap.awk's notes say the same in words.
function owner(call)
{
    if (call ~ /^malloc\(40\)/)
        return "leak"
    if (call ~ /^calloc\(/)
        return "fix"
    return "libc"
}

/^  (malloc|calloc|realloc)\(.* = 0x[0-9A-Fa-f]+ / {
    call = $1
    address = $3
    size[address] = call
    fate[address] = $0 ~ /never freed/ ? "never freed" : "freed"
    order[++blocks] = address
    edge[++edges] = owner(call) " -> b" blocks " [label=" quoted(edges ". " call) "];"
    number[address] = blocks
    next
}
/^  free\(0x[0-9A-Fa-f]+\) / {
    address = $1
    sub(/^free\(/, "", address)
    sub(/\)$/, "", address)
    if (!(address in number))
        next
    who = owner(size[address])
    if (who == "libc")
        who = "exit"
    edge[++edges] = who " -> b" number[address] " [label=" quoted(edges ". free()") \
        ", style=dashed];"
    next
}
/^  definitely lost: / {
    lost = $0
    sub(/^  /, "", lost)
}

END {
    print "digraph leakdemo {"
    print "  rankdir=LR; graph [fontname=\"Helvetica\"];"
    print "  node [shape=box, fontname=\"Helvetica\"]; edge [fontname=\"Helvetica\"];"
    print "  subgraph cluster_program { label=\"the program\";"
    print "    leak [label=\"create_memory_leak()\"]; fix [label=\"fix_memory_leak()\"]; }"
    print "  subgraph cluster_libc { label=\"the C library\";"
    print "    libc [label=\"puts(): standard output's buffer\"];"
    print "    exit [label=\"exit(), under valgrind\"]; }"
    print "  subgraph cluster_heap { label=\"the heap\";"
    for (i = 1; i <= blocks; ++i) {
        address = order[i]
        text = size[address] " at " address "\\n" fate[address]
        colour = "black"
        if (fate[address] == "never freed") {
            text = text ", no pointer left:\\n" lost
            colour = "red"
        }
        printf "    b%d [label=\"%s\", color=%s, fontcolor=%s];\n", i, text, colour, colour
    }
    print "  }"
    for (i = 1; i <= edges; ++i)
        print "  " edge[i]
    print "}"
}
