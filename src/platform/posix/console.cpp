// The console on POSIX: prints written whole, and the page pause text in the
// terminal's character set.
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/format_text.h"
#include "platform/platform.h"

namespace {

bool is_code_page_932(const char* codeset) {
    for (const char* name : {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "CP932", "WINDOWS-31J", "MS_KANJI"})
        if (strcasecmp(codeset, name) == 0) return true;
    return false;
}

// The character set the terminal expects, as the locale of the environment
// names it. Looked up the first time it is needed: only a list longer than a
// page shows text that needs converting, and every other run would carry
// the locale's tables in memory for nothing.
const std::string& console_codeset() {
    static const std::string codeset = [] {
        std::string name = "UTF-8";
        // A locale object of its own, so that the process's locale stays
        // "C" (the program treats text as plain bytes), also while the
        // playback thread runs.
        const locale_t locale = newlocale(LC_CTYPE_MASK, "", nullptr);
        if (locale == nullptr) return name;
        const char* set = nl_langinfo_l(CODESET, locale);
        // The C locale names plain ASCII, which has no Japanese; terminals
        // started without a locale are nearly always UTF-8.
        if (set != nullptr && *set != '\0' && strcasecmp(set, "ANSI_X3.4-1968") != 0 && strcasecmp(set, "ASCII") != 0) {
            name = set;
        }
        freelocale(locale);
        return name;
    }();
    return codeset;
}

void copy_cut(const char* text, std::size_t length, char* out, std::size_t size) {
    if (size == 0) return;
    const std::size_t n = length < size - 1 ? length : size - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// Writes `text` with one write() where the system takes it all at once, as
// printf on an unbuffered stream always did.
void write_all(const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void console_init() {
    // A standard descriptor that was closed when the player started would be
    // taken by the next file it opens, and a track's bytes read as commands.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
            if (null_fd != -1 && null_fd != fd) {
                dup2(null_fd, fd);
                close(null_fd);
            } else if (null_fd == fd) {
                fcntl(fd, F_SETFD, 0);
            }
        }
    }
}

namespace {

// Writes `text`, held in code page 932, into `out` as the terminal expects
// it, NUL-terminated and cut to fit `size` bytes.
void console_text(const char* text, char* out, std::size_t size) {
    const std::size_t length = std::strlen(text);
    const std::string& codeset = console_codeset();
    if (is_code_page_932(codeset.c_str())) {
        copy_cut(text, length, out, size);
        return;
    }
    iconv_t cd = iconv_open((codeset + "//TRANSLIT").c_str(), "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1) || size == 0) {
        copy_cut(text, length, out, size);
        return;
    }
    char* in = const_cast<char*>(text);
    std::size_t in_left = length;
    char* put = out;
    std::size_t out_left = size - 1;
    // Whatever does not convert or fit is left out; the text stays readable.
    while (in_left > 0 && iconv(cd, &in, &in_left, &put, &out_left) == static_cast<std::size_t>(-1)) {
        if (errno != EILSEQ && errno != EINVAL) break;
        ++in;
        --in_left;
    }
    *put = '\0';
    iconv_close(cd);
}

}  // namespace

void print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = format_text(format, args);
    va_end(args);
    write_all(text.data(), text.size());
}

void print_932(const char* text) {
    // A byte of code page 932 becomes at most 4 in any other character set.
    std::string shown(4 * std::strlen(text) + 1, '\0');
    console_text(text, &shown[0], shown.size());
    write_all(shown.data(), std::strlen(shown.data()));
}
