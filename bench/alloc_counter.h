// A counting allocator for benchmark programs: replaces the global
// operator new family and, with glibc, wraps malloc itself, so that a
// program can count the allocations of one thread (t_counting) or of all
// threads (g_countAll). Include it in exactly one file of a program.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>

// ---- Counting allocator -----------------------------------------------------

namespace {

// Counting is switched on per thread, around the export call only, so that
// the worker's own activity and the benchmark's bookkeeping stay out.
thread_local bool t_counting = false;
thread_local uint64_t t_news = 0;
thread_local uint64_t t_mallocs = 0;
// Every thread's allocations while the flag is set (the worker included).
std::atomic<bool> g_countAll{false};
std::atomic<uint64_t> g_allNews{0};
std::atomic<uint64_t> g_allMallocs{0};

inline void NoteNew() {
    if (t_counting) ++t_news;
    if (g_countAll.load(std::memory_order_relaxed)) g_allNews.fetch_add(1);
}

void* CountedNew(std::size_t n, std::size_t align) {
    NoteNew();
    if (n == 0) n = 1;
    if (align <= alignof(std::max_align_t)) return std::malloc(n);
    const std::size_t rounded = (n + align - 1) / align * align;
    return std::aligned_alloc(align, rounded);
}

}  // namespace

void* operator new(std::size_t n) {
    if (void* p = CountedNew(n, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = CountedNew(n, 0)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return CountedNew(n, 0);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return CountedNew(n, 0);
}
void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = CountedNew(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) {
    if (void* p = CountedNew(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return CountedNew(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return CountedNew(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}

#if defined(__GLIBC__)
// glibc lets a program wrap the C allocator around its internal entry
// points; this also catches allocations that bypass operator new.
#define BENCH_COUNTS_MALLOC 1
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}
namespace {
inline void NoteMalloc() {
    if (t_counting) ++t_mallocs;
    if (g_countAll.load(std::memory_order_relaxed)) g_allMallocs.fetch_add(1);
}
}  // namespace
extern "C" {
void* malloc(std::size_t n) noexcept {
    NoteMalloc();
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t m) noexcept {
    NoteMalloc();
    return __libc_calloc(n, m);
}
void* realloc(void* p, std::size_t n) noexcept {
    NoteMalloc();
    return __libc_realloc(p, n);
}
void* aligned_alloc(std::size_t a, std::size_t n) noexcept {
    NoteMalloc();
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, std::size_t a, std::size_t n) noexcept {
    NoteMalloc();
    void* p = __libc_memalign(a, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void free(void* p) noexcept {
    __libc_free(p);
}
}
#else
#define BENCH_COUNTS_MALLOC 0
#endif
