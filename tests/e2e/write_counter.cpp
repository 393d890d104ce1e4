// An audit module for the dynamic linker (LD_AUDIT) that shows how ALSA
// takes the player's writes: the snd_pcm_writei the player finds with dlsym
// is a wrapper that appends "ASKED TAKEN" per call to $TAMBLO_WRITES.
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Writei = long (*)(void*, const void*, unsigned long);
Writei real_writei;
int log_fd = -1;

long counted_writei(void* pcm, const void* buffer, unsigned long frames) {
    const long taken = real_writei(pcm, buffer, frames);
    char line[48];
    const int length = std::snprintf(line, sizeof line, "%lu %ld\n", frames, taken);
    if (log_fd != -1) (void)!write(log_fd, line, static_cast<std::size_t>(length));
    return taken;
}

}  // namespace

extern "C" unsigned la_version(unsigned) {
    if (const char* path = std::getenv("TAMBLO_WRITES"))
        log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return LAV_CURRENT;
}

extern "C" unsigned la_objopen(link_map*, Lmid_t, std::uintptr_t*) { return LA_FLG_BINDTO | LA_FLG_BINDFROM; }

extern "C" std::uintptr_t la_symbind64(Elf64_Sym* symbol, unsigned, std::uintptr_t*, std::uintptr_t*, unsigned* flags,
                                       const char* name) {
    if ((*flags & LA_SYMB_DLSYM) == 0 || std::strcmp(name, "snd_pcm_writei") != 0) return symbol->st_value;
    real_writei = reinterpret_cast<Writei>(symbol->st_value);
    return reinterpret_cast<std::uintptr_t>(&counted_writei);
}
