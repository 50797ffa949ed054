/* leakdemo's work written in plain C: the baseline that bench/startup.sh measures the
   C++ build against. */
#include <stdio.h>
#include <stdlib.h>

__attribute__((noinline)) static void create_memory_leak(void)
{
    int *volatile block = malloc(10 * sizeof(int));
    if (block == NULL) {
        perror("malloc");
        exit(EXIT_FAILURE);
    }
    for (int i = 0; i < 10; ++i) {
        block[i] = i;
    }
}

__attribute__((noinline)) static void fix_memory_leak(void)
{
    int *volatile values = calloc(10, sizeof(int));
    if (values == NULL) {
        perror("calloc");
        exit(EXIT_FAILURE);
    }
    for (int index = 0; index < 10; ++index) {
        printf("Value at index %d: %d\n", index, values[index]);
    }
    free(values);
}

int main(void)
{
    puts("Creating a memory leak...");
    create_memory_leak();
    puts("Memory leak created.");
    puts("\nFixing the memory leak...");
    fix_memory_leak();
    puts("Memory leak fixed.");
    if (fflush(stdout) == EOF || ferror(stdout) != 0) {
        perror("standard output");
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
