// The directory search, standing in for FindFirstFileA / FindNextFileA /
// FindClose.
//
// Windows matches "*.mp3" without regard to letter case, and its usual file
// system hands the names out sorted, letters compared as upper case; albums
// whose files are numbered 01, 02, ... therefore play in order. readdir's
// order is the file system's hash order, so the matches are collected first
// and sorted the same way (ties, names that differ only in case, by their
// bytes) before the first is handed out.
#include <dirent.h>
#include <fnmatch.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "winapi.h"

namespace {

struct Search {
    std::vector<std::string> names;
    std::size_t next = 0;
};

// Letters folded to upper case, as Windows compares them: strcasecmp folds
// to lower case, which would sort "_" and the other signs between "Z" and
// "a" before the letters instead of after them.
int upper(unsigned char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

bool windows_order(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int ca = upper(static_cast<unsigned char>(a[i]));
        const int cb = upper(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

// Hands out the next name; false when none is left or it cannot be held.
bool hand_out(Search& search, WIN32_FIND_DATAA* data) {
    while (search.next < search.names.size()) {
        const std::string& name = search.names[search.next++];
        if (name.size() >= sizeof data->cFileName) continue;
        std::memset(data, 0, sizeof *data);
        data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        std::memcpy(data->cFileName, name.c_str(), name.size() + 1);
        return true;
    }
    return false;
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR lpFileName, WIN32_FIND_DATAA* lpFindFileData) {
    if (lpFileName == nullptr || lpFindFileData == nullptr) return INVALID_HANDLE_VALUE;

    // A pattern may name a folder before its wildcard part.
    std::string folder = ".";
    const char* pattern = lpFileName;
    if (const char* slash = std::strrchr(lpFileName, '/')) {
        folder.assign(lpFileName, static_cast<std::size_t>(slash - lpFileName));
        if (folder.empty()) folder = "/";
        pattern = slash + 1;
    }

    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return INVALID_HANDLE_VALUE;
    auto* search = new Search;
    // An entry that cannot be read ends the search there, like the end of
    // the entries; what was found until then still counts.
    while (const dirent* entry = readdir(dir)) {
        // FNM_PERIOD leaves out names beginning with '.', as a shell would.
        if (fnmatch(pattern, entry->d_name, FNM_CASEFOLD | FNM_PERIOD | FNM_NOESCAPE) == 0) {
            search->names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    std::sort(search->names.begin(), search->names.end(), windows_order);

    if (!hand_out(*search, lpFindFileData)) {
        delete search;
        return INVALID_HANDLE_VALUE;
    }
    return search;
}

BOOL FindNextFileA(HANDLE hFindFile, WIN32_FIND_DATAA* lpFindFileData) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE || lpFindFileData == nullptr) return FALSE;
    return hand_out(*static_cast<Search*>(hFindFile), lpFindFileData) ? TRUE : FALSE;
}

BOOL FindClose(HANDLE hFindFile) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) return FALSE;
    delete static_cast<Search*>(hFindFile);
    return TRUE;
}
