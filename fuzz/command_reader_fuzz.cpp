// Fuzzes the command reader with arbitrary bytes on standard input, read
// command by command until the input ends.
//
// Besides what ASan and UBSan catch (a word written past `cmd`), every code
// is checked against the reader's rules worked out here from the bytes
// alone: words split at white space, each judged by its first 31 bytes up
// to any NUL byte, "stop" closing the open device and taking two more
// characters, "ls" printing a line feed and nothing else printing at all.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "playback/playback_device.h"
#include "player/command_reader.h"
#include "recording_mci.h"

namespace {

// Any device number will do: the reader only hands it to close.
const MCIDEVICEID kOpenDevice = 7;

struct Command {
    int code;
    bool stop;  // the word was "stop": a close and two characters
};

[[noreturn]] void fail(const char* what, std::size_t call, int code) {
    std::fprintf(stderr, "command_reader_fuzz: %s (command %zu, code %d)\n", what, call, code);
    std::abort();
}

bool space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int code_of(const std::string& word) {
    if (word == "stop" || word == "next" || word == "n") return 1;
    if (word == "before" || word == "b") return -1;
    if (word == "exit") return 2;
    if (word == "ls") return 3;
    if (word == "time") return 4;
    if (word == "loop") return 5;
    if (word.empty() || word[0] < '0' || word[0] > '9') return 0;
    // The leading digits; a number whose code would not fit an int is none.
    std::int64_t number = 0;
    for (char c : word) {
        if (c < '0' || c > '9') break;
        number = number * 10 + (c - '0');
        if (number + 10 > INT_MAX) return 0;
    }
    return static_cast<int>(number + 10);
}

// The commands the reader must return for `data`, one per call, the last
// call being the one that meets the end of the input.
std::vector<Command> expected(const std::uint8_t* data, std::size_t size) {
    std::vector<Command> commands;
    std::size_t pos = 0;
    for (;;) {
        while (pos < size && space(data[pos]))
            ++pos;
        if (pos == size) {
            commands.push_back({0, false});
            return commands;
        }
        std::string word;
        while (pos < size && !space(data[pos])) {
            if (word.size() < 31) word += static_cast<char>(data[pos]);
            ++pos;
        }
        // The word is compared as C text: a NUL byte typed in it ends it.
        word = word.c_str();
        const bool stop = word == "stop";
        commands.push_back({code_of(word), stop});
        // A word that runs to the end of the input met that end already.
        if (pos == size) return commands;
        if (stop) {
            if (size - pos < 2) return commands;
            pos += 2;
        }
    }
}

bool allowed(int code) { return (code >= -1 && code <= 5) || code >= 10; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Standard input reads the bytes; standard output is kept in memory.
    // fmemopen wants a buffer even for no bytes at all.
    static char empty[1];
    FILE* in = fmemopen(size > 0 ? const_cast<std::uint8_t*>(data) : reinterpret_cast<std::uint8_t*>(empty), size, "r");
    char* printed = nullptr;
    std::size_t printed_size = 0;
    FILE* out = open_memstream(&printed, &printed_size);
    if (in == nullptr || out == nullptr) std::abort();
    FILE* const saved_in = stdin;
    FILE* const saved_out = stdout;
    stdin = in;
    stdout = out;

    const std::vector<Command> want = expected(data, size);
    std::size_t calls = 0;
    // Every call but the last takes at least one byte, so the input runs out
    // after at most size + 1 calls.
    while (!std::feof(stdin)) {
        if (calls > size) fail("the reader does not reach the end of its input", calls, 0);
        fake_mci::reset();
        current_device = kOpenDevice;
        const std::size_t printed_before = printed_size;

        const int code = read_command();

        std::fflush(out);
        if (!allowed(code)) fail("code outside the command codes", calls, code);
        if (calls >= want.size()) fail("more commands than words", calls, code);
        const Command& command = want[calls];
        if (code != command.code) fail("wrong code for the word", calls, code);
        const std::string said(printed + printed_before, printed_size - printed_before);
        if (said != (code == 3 ? "\n" : "")) fail("printed something besides the list's line feed", calls, code);
        if (command.stop) {
            if (fake_mci::calls.size() != 1 || fake_mci::calls[0].message != MCI_CLOSE ||
                fake_mci::calls[0].device != kOpenDevice || current_device != 0) {
                fail("stop did not close the open device", calls, code);
            }
        } else if (!fake_mci::calls.empty() || current_device != kOpenDevice) {
            fail("a command other than stop touched the device", calls, code);
        }
        ++calls;
    }
    if (calls != want.size()) fail("fewer commands than words", calls, 0);

    stdin = saved_in;
    stdout = saved_out;
    std::fclose(in);
    std::fclose(out);
    std::free(printed);
    return 0;
}
