# Turns the tour's cut of farewell's strace record (exit.awk's output) and the output.txt
# it left into a graph for graphviz: what main() does, the greeting held in the stream's
# buffer, the exit handlers in the order they ran, and where each write landed, the
# terminal or the file, whose bytes are shown. The arrows that reach the kernel are
# numbered in the order strace saw them.
#
# Input: exit.awk's lines, then output.txt. Output: the graph, for dot -Tsvg.

function arrow(from, to, text)
{
    edge[++edges] = from " -> " to " [label=" quoted(edges ". " text) "];"
}

# The string a write() wrote, as strace shows it.
function written(text)
{
    sub(/^[^"]*"/, "", text)
    sub(/"\.*, [0-9]+\) = .*$/, "", text)
    return text
}

FNR != NR {
    content = content $0 "\\n"
    bytes += length($0) + 1
    next
}
/^  openat\(.*"output\.txt"/ {
    file = $NF
    arrow("fopen", "file", "openat(): created, empty")
    next
}
/^  write\(1, / {
    # Before the greeting: puts() in main(), at a terminal. After it: each handler's own
    # line, at a terminal; into a pipe, standard output's whole buffer, by close_stdout().
    from = !greeting ? "puts" : terminal ? "close_file" : "close_stdout"
    if (!greeting)
        terminal = 1
    arrow(from, "screen", "write(1): " written($0))
    next
}
file != "" && index($0, "  write(" file ",") == 1 {
    greeting = 1
    arrow("close_file", "file", "write(" file "): " written($0))
    next
}
file != "" && index($0, "  close(" file ")") == 1 {
    arrow("close_file", "file", "close(" file ")")
    next
}
/^  close\(1\)/ {
    arrow("close_stdout", "screen", "close(1)")
}

END {
    print "digraph farewell {"
    print "  rankdir=TB; graph [fontname=\"Helvetica\"];"
    print "  node [shape=box, fontname=\"Helvetica\"]; edge [fontname=\"Helvetica\"];"
    print "  subgraph cluster_main { label=\"main()\";"
    print "    fopen [label=\"fopen(\\\"output.txt\\\", \\\"w\\\")\"];"
    print "    fwrite [label=\"fwrite(greeting)\"];"
    print "    buffer [shape=note, label=\"the file's stream buffer:\\n" \
        "Hello, Zorvi!\\\\n, held until exit\"];"
    print "    puts [label=\"puts(\\\"Program is exiting...\\\")\"];"
    print "    fopen -> fwrite -> puts [style=dotted]; fwrite -> buffer [style=dotted]; }"
    print "  subgraph cluster_exit { label=\"exit(): the handlers, last registered first\";"
    print "    close_file [label=\"close_file(): fclose(file),\\nputs(\\\"File closed.\\\")\"];"
    print "    close_stdout [label=\"close_stdout(): fclose(stdout)\"];"
    print "    close_file -> close_stdout [style=dotted]; }"
    print "  subgraph cluster_kernel { label=\"the kernel\";"
    print "    screen [label=\"standard output\"];"
    label = quoted(content)
    printf "    file [label=\"output.txt, %d bytes:\\n%s, shape=folder]; }\n", bytes,
        substr(label, 2)
    print "  puts -> close_file [style=dotted, label=\"main() returns\"];"
    print "  buffer -> close_file [style=dotted];"
    for (i = 1; i <= edges; ++i)
        print "  " edge[i]
    print "}"
}
