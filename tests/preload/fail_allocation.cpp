// Preloaded into leakdemo to make one of its allocations fail as a real allocator would:
// FAIL_ALLOCATION=malloc fails malloc(40), FAIL_ALLOCATION=calloc fails calloc(10, 4).
// Every other request goes on to the allocator that would have served it (the C
// library's, or the sanitizer's in a sanitized build). When it refuses a request it
// creates the file FAIL_ALLOCATION_MARK names, if set: a program that never made the
// request through the C library (statically linked, or allocating otherwise) leaves no
// mark, and the test knows it was not tried.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

static bool failing(const char *call)
{
    const char *which = getenv("FAIL_ALLOCATION");
    if (which == nullptr || strcmp(which, call) != 0) {
        return false;
    }
    if (const char *mark = getenv("FAIL_ALLOCATION_MARK")) {
        close(open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    return true;
}

extern "C" void *malloc(size_t size)
{
    static auto next = reinterpret_cast<void *(*)(size_t)>(dlsym(RTLD_NEXT, "malloc"));
    if (size == 40 && failing("malloc")) {
        errno = ENOMEM;
        return nullptr;
    }
    return next(size);
}

extern "C" void *calloc(size_t nmemb, size_t size)
{
    static auto next = reinterpret_cast<void *(*)(size_t, size_t)>(dlsym(RTLD_NEXT, "calloc"));
    if (nmemb == 10 && size == 4 && failing("calloc")) {
        errno = ENOMEM;
        return nullptr;
    }
    return next(nmemb, size);
}
