// leakdemo: a heap block that is allocated, filled and then lost without ever being
// released, followed by a zero-filled block that is printed and released. Run it under an
// allocation tracker (valgrind --leak-check=full ./leakdemo) to see the first block
// reported as lost and the second as properly freed.
//
// Both blocks are held through volatile pointers. An optimizing compiler may otherwise
// delete an allocation whose contents nobody reads again, or fold the zeros of calloc()
// into constants, and the tracker would have nothing to show. noinline keeps each
// function a frame of its own, so the tracker names it as the place of the allocation.

#include <cstdio>
#include <cstdlib>

static constexpr int element_count = 10;
static_assert(sizeof(int) == 4, "each element is a signed 32-bit integer");

__attribute__((noinline)) static void create_memory_leak()
{
    int *volatile block = static_cast<int *>(malloc(element_count * sizeof(int)));
    if (block == nullptr) {
        perror("malloc");
        exit(EXIT_FAILURE);
    }
    for (int i = 0; i < element_count; ++i) {
        block[i] = i;
    }
    // No free(): the only pointer to the block dies with this frame, and the block stays
    // allocated, unreachable, until the process ends.
}

__attribute__((noinline)) static void fix_memory_leak()
{
    int *volatile values = static_cast<int *>(calloc(element_count, sizeof(int)));
    if (values == nullptr) {
        perror("calloc");
        exit(EXIT_FAILURE);
    }
    for (int index = 0; index < element_count; ++index) {
        printf("Value at index %d: %d\n", index, values[index]);
    }
    free(values);
}

int main()
{
    puts("Creating a memory leak...");
    create_memory_leak();
    puts("Memory leak created.");
    puts("\nFixing the memory leak...");
    fix_memory_leak();
    puts("Memory leak fixed.");

    // Into a pipe or a file stdout is fully buffered, so the narration is only written
    // here: this is where a full disk shows, and it must not be reported as success.
    if (fflush(stdout) == EOF || ferror(stdout) != 0) {
        perror("standard output");
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
