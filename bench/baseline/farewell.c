/* farewell's work written in plain C: the baseline that bench/startup.sh measures the
   C++ build against. */
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static FILE *file = NULL;

static void close_stdout(void)
{
    const bool write_failed = ferror(stdout) != 0;
    if (fclose(stdout) != 0 || write_failed) {
        perror("Failed to write standard output");
        _exit(EXIT_FAILURE);
    }
}

static void close_file(void)
{
    if (file == NULL) {
        return;
    }
    const bool write_failed = ferror(file) != 0;
    const bool close_failed = fclose(file) != 0;
    if (write_failed || close_failed) {
        perror(write_failed ? "Failed to write file" : "Failed to close file");
        close_stdout();
        _exit(EXIT_FAILURE);
    }
    puts("File closed.");
}

int main(void)
{
    file = fopen("output.txt", "w");
    if (file == NULL) {
        perror("Failed to open file");
        return EXIT_FAILURE;
    }
    atexit(close_stdout);
    atexit(close_file);
    fwrite("Hello, Zorvi!\n", 1, 14, file);
    puts("Program is exiting...");
    return EXIT_SUCCESS;
}
