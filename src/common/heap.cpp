// The global allocation functions of the switch's programs (the launcher and
// switch-ops), straight on malloc and free.
//
// The switch's code asks for its large buffers with new (std::nothrow) and
// checks for null. libstdc++'s nothrow operators are built on the throwing
// ones inside a try block, so they alone bring in the whole exception
// runtime: the unwinder, and the default terminate handler with the C++
// name demangler (130 KB of the launcher's 200). The switch's code
// neither throws nor catches; it is built without exceptions, and a failed
// allocation that has no null check to go to ends the program as an
// uncaught std::bad_alloc did: a message and abort().
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

[[noreturn]] void out_of_memory() {
    std::fputs("out of memory\n", stderr);
    std::abort();
}

void* allocate(std::size_t size) noexcept {
    // new of 0 bytes must still give a distinct pointer.
    return std::malloc(size ? size : 1);
}

void* allocate_or_abort(std::size_t size) {
    void* p = allocate(size);
    if (!p) out_of_memory();
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate_or_abort(size); }
void* operator new[](std::size_t size) { return allocate_or_abort(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
