// The malloc family forwarded to glibc's own entry points, counting on the way.
//
// Forwarding to __libc_* rather than wrapping with dlsym(RTLD_NEXT) keeps the
// hook free of allocations itself (dlsym allocates on first use). The counters
// are atomics and the thread id is cached in static TLS of the executable, so
// counting never allocates or takes a lock.
#include "bench/alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t size);
void __libc_free(void *ptr);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
}

namespace {

std::atomic<long> WatchedTid{0};
std::atomic<uint64_t> WatchedCount{0};
std::atomic<uint64_t> AllCount{0};
thread_local long OwnTid = 0;

void Note() {
    AllCount.fetch_add(1, std::memory_order_relaxed);
    const long watched = WatchedTid.load(std::memory_order_relaxed);
    if (watched == 0)
        return;
    if (OwnTid == 0)
        OwnTid = syscall(SYS_gettid);
    if (OwnTid == watched)
        WatchedCount.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

namespace alloc_count {

void Watch(long tid) {
    WatchedTid.store(0);
    WatchedCount.store(0);
    WatchedTid.store(tid);
}

uint64_t Watched() {
    return WatchedCount.load();
}
uint64_t All() {
    return AllCount.load();
}

long Tid() {
    if (OwnTid == 0)
        OwnTid = syscall(SYS_gettid);
    return OwnTid;
}

} // namespace alloc_count

extern "C" {

void *malloc(size_t size) noexcept {
    Note();
    return __libc_malloc(size);
}

void free(void *ptr) noexcept {
    __libc_free(ptr);
}

void *calloc(size_t count, size_t size) noexcept {
    Note();
    return __libc_calloc(count, size);
}

void *realloc(void *ptr, size_t size) noexcept {
    Note();
    return __libc_realloc(ptr, size);
}

void *memalign(size_t alignment, size_t size) noexcept {
    Note();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) noexcept {
    Note();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) noexcept {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    Note();
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

} // extern "C"
