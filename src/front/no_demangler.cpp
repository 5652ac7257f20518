// Linked into the static Linux program only, in place of the C++ runtime's
// demangler (the linker wraps __cxa_demangle to this). The runtime calls
// it for one thing: to print the type of an exception nobody caught just
// before the program ends, which then shows as the compiler names it
// ("St9bad_alloc"). Left out, its 40 KiB of code are not mapped into every
// run of trail: the kernel maps a static program's code 64 KiB around each
// page touched, and this sits among pages every run touches.
#include <cstddef>

extern "C" char* __wrap___cxa_demangle(const char*, char*, std::size_t*, int* status) {
    if (status != nullptr) *status = -2;  // "not a name it can demangle"
    return nullptr;
}
