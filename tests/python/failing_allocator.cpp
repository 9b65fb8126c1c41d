// Preloaded into a child interpreter: fails the n-th allocation from now, once, of C++'s operator new and of
// each of Python's allocator domains alike; the tests arm it through ctypes and read whether it was reached.
#include <Python.h>

#include <cstdlib>
#include <new>

static long left = -1;  // allocations before the one that fails; -1 while disarmed
static int reached = 0;
static PyMemAllocatorEx underlying[3];

static bool failing() { return left >= 0 && left-- == 0 && (reached = 1); }
extern "C" void fail_allocation_after(long count) { left = count, reached = 0; }
extern "C" int failed_allocation() { return left = -1, reached; }

void* operator new(std::size_t size) {
    void* memory = failing() ? nullptr : std::malloc(size != 0 ? size : 1);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

template <int domain> struct Failing {
    static void* malloc(void*, size_t size) { return failing() ? nullptr : underlying[domain].malloc(underlying[domain].ctx, size); }
    static void* calloc(void*, size_t count, size_t size) {
        return failing() ? nullptr : underlying[domain].calloc(underlying[domain].ctx, count, size);
    }
    static void* realloc(void*, void* memory, size_t size) {
        return failing() ? nullptr : underlying[domain].realloc(underlying[domain].ctx, memory, size);
    }
    static void free(void*, void* memory) { underlying[domain].free(underlying[domain].ctx, memory); }
    static void install() {
        PyMemAllocatorEx failing{nullptr, malloc, calloc, realloc, free};
        PyMem_GetAllocator(PyMemAllocatorDomain(domain), &underlying[domain]);
        PyMem_SetAllocator(PyMemAllocatorDomain(domain), &failing);
    }
};
extern "C" void install_failing_allocator() { Failing<0>::install(), Failing<1>::install(), Failing<2>::install(); }
