// farewell_lost: the exit-handler demonstration, ended without the exit sequence. A
// solution of the lab's third task.
//
// Returning from main() calls exit(), which runs the handlers registered with atexit() and
// then flushes and closes every stream. _exit() does neither: the process ends at once, and
// what is still in a stream's buffer is lost with it. So close_file() never runs, and the
// greeting, which fwrite() only put into the stream's buffer, never reaches output.txt: the
// file stays as fopen() left it, empty. A signal whose default action ends the process
// (raise(SIGTERM), say) loses it the same way.

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

static FILE *file = nullptr;

static void close_file()
{
    if (file == nullptr) {
        return;
    }
    fclose(file);
    puts("File closed.");
}

int main()
{
    file = fopen("output.txt", "w");
    if (file == nullptr) {
        perror("Failed to open file");
        return EXIT_FAILURE;
    }
    atexit(close_file);

    static constexpr size_t greeting_size = 14;
    fwrite("Hello, Zorvi!\n", 1, greeting_size, file);
    puts("Program is exiting...");

    // _exit() flushes no stream: into a pipe or a file this line would still be in
    // standard output's buffer, and lost like the greeting. Only this one is flushed.
    if (fflush(stdout) == EOF) {
        perror("standard output");
        _exit(EXIT_FAILURE);
    }
    _exit(EXIT_SUCCESS);
}
