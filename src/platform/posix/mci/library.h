// Libraries loaded when first needed instead of linked: libpulse, alsa-lib
// and libsndfile. Linked, each would cost every run the time to load it and
// its own libraries at start-up, and their memory, whether it plays through
// them or not. A struct names a library's functions by their own names,
//     #define TAMBLO_SNDFILE(X) X(sf_open_fd) X(sf_close)
//     struct Sndfile { TAMBLO_FUNCTIONS(TAMBLO_SNDFILE) };
// and load_library<Sndfile>("libsndfile.so.1") gives them, or null where the
// library or one of them is missing. The library stays loaded.
#pragma once

#include <dlfcn.h>

#define TAMBLO_FUNCTION_POINTER(name) decltype(&::name) name = nullptr; /* NOLINT(bugprone-macro-parentheses) */
#define TAMBLO_RESOLVE(name) /* NOLINTNEXTLINE(bugprone-macro-parentheses): a member's name */ \
    found = found && (name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name))) != nullptr;
#define TAMBLO_FUNCTIONS(list)                                  \
    list(TAMBLO_FUNCTION_POINTER) bool resolve(void* library) { \
        bool found = true;                                      \
        list(TAMBLO_RESOLVE) return found;                      \
    }

namespace mci {

// `soname` is the name of the library's ABI, as its package installs it.
template <typename Functions>
const Functions* load_library(const char* soname) {
    static Functions functions;
    static const bool loaded = [soname] {
        void* library = dlopen(soname, RTLD_LAZY | RTLD_LOCAL);
        return library != nullptr && functions.resolve(library);
    }();
    return loaded ? &functions : nullptr;
}

}  // namespace mci
