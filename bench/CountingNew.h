#pragma once

// Replaces the global allocation functions of the benchmark program that includes this header
// (include it from exactly one file) so a benchmark can show that its measured path allocates
// nothing. Only allocations made while counting is switched on are counted, which leaves out the
// benchmark library's own.

#include <atomic>
#include <cstdlib>
#include <new>

namespace tamblin::bench {

inline std::atomic<bool> g_countAllocations{false};
inline std::atomic<long> g_allocations{0};

// Counts the allocations made inside its lifetime.
class AllocationCounter {
public:
    AllocationCounter() {
        before_ = g_allocations.load();
        g_countAllocations.store(true);
    }
    ~AllocationCounter() { g_countAllocations.store(false); }
    long count() const { return g_allocations.load() - before_; }

private:
    long before_ = 0;
};

}  // namespace tamblin::bench

// Kept out of line: inlined into their callers, GCC would pair the malloc and free inside them
// with the operator new and delete of the call site and warn of a mismatch.
[[gnu::noinline]] void* operator new(std::size_t size) {
    if (tamblin::bench::g_countAllocations.load(std::memory_order_relaxed))
        tamblin::bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t size) {
    return operator new(size);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
