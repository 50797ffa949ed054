// Preloaded into leakdemo to make one of its allocations fail as a real allocator would:
// FAIL_ALLOCATION=malloc fails malloc(40), FAIL_ALLOCATION=calloc fails calloc(10, 4).
// Every other request goes to the C library's allocator.
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);

static bool failing(const char *call)
{
    const char *which = getenv("FAIL_ALLOCATION");
    return which != nullptr && strcmp(which, call) == 0;
}

extern "C" void *malloc(size_t size)
{
    if (size == 40 && failing("malloc")) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size)
{
    if (count == 10 && size == 4 && failing("calloc")) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_calloc(count, size);
}
