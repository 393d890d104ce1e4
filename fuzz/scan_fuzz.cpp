// Fuzzes the track list's scan with folders of arbitrary names.
//
// The input is a list of names, each ended by '/' (a file) or a NUL byte (a
// folder); they are made in an empty folder, which is then scanned. The
// list must hold exactly what the directory search promises, worked out
// here from the names alone: names ending in ".mp3" in any letter case, not
// beginning with '.', sorted with ASCII letters folded to upper case (ties
// by their bytes), the first 50 of them, then the end marker when fewer were
// found, each NUL-terminated in its slot, and no slot after the end marker
// written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "library/track_list.h"

namespace {

// More than a full list, few enough to keep the runs fast.
const std::size_t kMaxNames = 200;
const std::size_t kMaxNameBytes = 255;  // NAME_MAX
// What the list holds before the scan, so that slots it did not write show.
const char kUnwritten = 'Z';

[[noreturn]] void fail(const char* what, int slot) {
    std::fprintf(stderr, "scan_fuzz: %s (slot %d)\n", what, slot);
    std::abort();
}

std::string folder() {
    static std::string path;
    if (path.empty()) {
        // Hundreds of names are made and removed for each input: on a disk
        // that costs some fifteen times as long as in memory.
        const char* tmp = std::getenv("TMPDIR");
        const char* base = tmp != nullptr && *tmp != '\0' ? tmp : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/tamblo-scan-fuzz-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) std::abort();
        path = pattern;
        // Left empty after every input; removed at the end of the run.
        std::atexit([] { rmdir(path.c_str()); });
    }
    return path;
}

bool make(int dir, const std::string& name, bool as_folder) {
    if (as_folder) return mkdirat(dir, name.c_str(), 0700) == 0;
    const int fd = openat(dir, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    return fd != -1 && close(fd) == 0;
}

// Makes the names of the input in `dir`; the names that now exist there.
std::set<std::string> make_names(int dir, const std::uint8_t* data, std::size_t size) {
    std::set<std::string> made;
    std::string name;
    for (std::size_t i = 0; i < size && made.size() < kMaxNames; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c != '/' && c != '\0') {
            if (name.size() < kMaxNameBytes) name += c;
            continue;
        }
        if (!name.empty() && name != "." && name != ".." && make(dir, name, c == '\0')) made.insert(name);
        name.clear();
    }
    return made;
}

void remove_names(int dir, const std::set<std::string>& names) {
    for (const std::string& name : names) {
        if (unlinkat(dir, name.c_str(), 0) != 0 && unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) std::abort();
    }
}

int fold(unsigned char c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }

bool matches(const std::string& name) {
    const std::size_t n = name.size();
    return n >= 4 && name[0] != '.' && name[n - 4] == '.' && fold(name[n - 3]) == 'M' && fold(name[n - 2]) == 'P' &&
           name[n - 1] == '3';
}

// The directory search's order: letters folded to upper case first, then
// the exact bytes.
bool before(const std::string& a, const std::string& b) {
    std::vector<int> fa, fb;
    for (unsigned char c : a)
        fa.push_back(fold(c));
    for (unsigned char c : b)
        fb.push_back(fold(c));
    if (fa != fb) return fa < fb;
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    static const int dir = open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (here == -1 || dir == -1) std::abort();

    const std::set<std::string> made = make_names(dir, data, size);
    std::vector<std::string> want;
    for (const std::string& name : made) {
        if (matches(name)) want.push_back(name);
    }
    std::sort(want.begin(), want.end(), before);
    const bool full = want.size() >= static_cast<std::size_t>(kListSize);
    if (full) want.resize(kListSize);

    static TrackList filelist;
    std::memset(filelist, kUnwritten, sizeof filelist);
    char* printed = nullptr;
    std::size_t printed_size = 0;
    FILE* out = open_memstream(&printed, &printed_size);
    if (out == nullptr) std::abort();
    FILE* const saved_out = stdout;
    stdout = out;
    if (fchdir(dir) != 0) std::abort();

    const int result = scan_tracks(filelist);

    if (fchdir(here) != 0) std::abort();
    stdout = saved_out;
    std::fclose(out);
    const std::string said(printed, printed_size);
    std::free(printed);
    remove_names(dir, made);

    if (result != 0) fail("the scan returned other than 0", -1);
    if (said != (want.empty() ? "There are no mp3s.\n" : "")) fail("wrong message", -1);
    for (int k = 0; k < kListSize; ++k) {
        const char* slot = filelist[k];
        const std::size_t index = static_cast<std::size_t>(k);
        if (index > want.size() || (full && index == want.size())) {
            // Past the end marker (or past a full list, which has none).
            for (int b = 0; b < kSlotSize; ++b) {
                if (slot[b] != kUnwritten) fail("a slot after the end marker was written", k);
            }
            continue;
        }
        if (std::memchr(slot, '\0', kSlotSize) == nullptr) fail("a slot without its NUL", k);
        if (index == want.size()) {
            if (!is_end_marker(slot)) fail("no end marker after the last name", k);
        } else if (want[index] != slot) {
            fail(is_end_marker(slot) ? "the list ends early" : "a name out of place", k);
        }
    }
    return 0;
}
