# quoted(text): text as a quoted string of mscgen or dot, whose quoting is alike: a
# backslash before each backslash and each double quote. Loaded with each chart's script.

function quoted(text,    out, i, c)
{
    out = ""
    for (i = 1; i <= length(text); ++i) {
        c = substr(text, i, 1)
        out = out (c == "\\" || c == "\"" ? "\\" : "") c
    }
    return "\"" out "\""
}
