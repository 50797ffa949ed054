// farewell: a resource that outlives main() and is released by an exit handler.
//
// main() opens output.txt, registers close_file() with atexit(), writes a greeting into
// the stream and announces that it is exiting. The greeting is still in the stream's
// buffer when main() returns; the normal exit sequence then calls close_file(), which
// flushes and closes the file and says so. Until then output.txt exists but is empty.
//
// Exit handlers run in the reverse order of their registration, so close_stdout(),
// registered before close_file(), runs after it and checks every line that reached
// standard output. A handler that must end the process calls _exit(): calling exit()
// again from inside the exit sequence is undefined behaviour.

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

static FILE *file = nullptr;

// Into a pipe or a file stdout is fully buffered, so a full disk shows only when the
// buffer is written out: here, last of all.
static void close_stdout()
{
    const bool write_failed = ferror(stdout) != 0;
    if (fclose(stdout) != 0 || write_failed) {
        perror("Failed to write standard output");
        _exit(EXIT_FAILURE);
    }
}

static void close_file()
{
    if (file == nullptr) {
        return;
    }
    // fwrite() only filled the stream's buffer; fclose() writes it out, so a full disk is
    // reported here. A short fwrite() left the stream's error flag set.
    const bool write_failed = ferror(file) != 0;
    const bool close_failed = fclose(file) != 0;
    if (write_failed || close_failed) {
        perror(write_failed ? "Failed to write file" : "Failed to close file");
        close_stdout();
        _exit(EXIT_FAILURE);
    }
    puts("File closed.");
}

int main()
{
    file = fopen("output.txt", "w");
    if (file == nullptr) {
        perror("Failed to open file");
        return EXIT_FAILURE;
    }
    atexit(close_stdout);
    atexit(close_file);

    static constexpr size_t greeting_size = 14; // "Hello, Zorvi!\n", no terminating zero
    fwrite("Hello, Zorvi!\n", 1, greeting_size, file);
    puts("Program is exiting...");
    return EXIT_SUCCESS;
}
