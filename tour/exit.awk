# Cuts strace's record of farewell down to its file and its two lines: output.txt opened,
# the first line written while main() runs, then on the exit path the greeting written
# into the file, the file closed, the second line, standard output closed, and the exit.
# The C library's own opening and closing of shared libraries is left out.
#
# predict=1 (the tour's --predict): the notes hold back what the worksheet asks later.
#
# Input: strace -q -e trace=openat,write,close,exit_group of farewell.

function note(text)
{
    printf "%6s%s\n", "", text
}

{
    sub(/\) +=/, ") =") # strace pads the result to a column
}

/^openat\(.*"output\.txt"/ {
    file = $0
    sub(/.*= /, "", file)
    print "  " $0
    note("fopen(\"output.txt\", \"w\"): the file, created or emptied, is descriptor " file)
    next
}
/^write\(1, "Program is exiting/ {
    print "  " $0
    if (greeting)
        note("both lines at once, at exit: into a pipe or a file, stdout is fully buffered")
    else if (predict) # why it leaves at once is a question still to come
        note("puts() in main(): the line leaves at once")
    else
        note("puts() in main(): line buffered at a terminal, so the line leaves at once")
    next
}
file != "" && index($0, "write(" file ",") == 1 {
    greeting = 1
    print "  " $0
    note("main() has returned: exit() runs close_file(), and fclose() writes out the")
    note("greeting that sat in the stream's buffer until now")
    next
}
file != "" && index($0, "close(" file ")") == 1 {
    print "  " $0
    note("the file closed")
    next
}
/^write\(1, "File closed/ {
    print "  " $0
    note("close_file() says so")
    next
}
/^close\(1\)/ {
    print "  " $0
    note("close_stdout(), registered first, runs last: a write error would show here")
    next
}
/^exit_group\(|^\+\+\+ / {
    print "  " $0
}
