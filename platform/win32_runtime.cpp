// The few C++ run-time functions that the Windows build replaces, so that the library's exception
// machinery (unwinder, personality routine, exception classes) stays out of the exe. The program is
// built without exceptions; where the library would throw, the run ends at once with status 0, the
// one status the updater ever ends with: the user is told nothing, as when the process is stopped.
#include <windows.h>

#include <cstdlib>
#include <new>

namespace {

// Immediate and quiet: no abort (status 3, perhaps an error-reporting dialog), no exception.
[[noreturn]] void end_run() {
    ExitProcess(0);
}

}  // namespace

// Memory for a string or list: libstdc++'s own throws std::bad_alloc when there is none.
void* operator new(std::size_t size) {
    if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
    end_run();
}

// The partners of operator new above, which must release what malloc gave.
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

// libstdc++'s throw helpers, called from the inline library code in place of a throw. They all
// live in one library member: each one that the program refers to must be here, or that member
// comes back with them all (and the link fails on the duplicates, which says which one is missing).
namespace std {

// An allocator asked for more than it can ever hand out.
void __throw_bad_alloc() {
    end_run();
}
// An array allocation whose size does not fit in size_t.
void __throw_bad_array_new_length() {
    end_run();
}
// A string or list asked to grow beyond its max_size().
void __throw_length_error(const char*) {
    end_run();
}
// A string built from a null pointer.
void __throw_logic_error(const char*) {
    end_run();
}
// A position past the end of a string (substr, erase, append from a part of another).
void __throw_out_of_range_fmt(const char*, ...) {
    end_run();
}

}  // namespace std
