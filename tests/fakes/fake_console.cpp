#include "fake_console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "temp_path.h"

namespace fake_console {

std::int64_t now_ms = 0;
std::deque<std::int64_t> keys;
std::int64_t limit_ms = 0;
long sleeps = 0;

void reset(std::int64_t start_ms, std::int64_t limit) {
    now_ms = start_ms;
    limit_ms = limit;
    keys.clear();
    sleeps = 0;
}

}  // namespace fake_console

bool key_hit() {
    using namespace fake_console;
    if (!keys.empty() && keys.front() <= now_ms) {
        keys.pop_front();
        return true;
    }
    return false;
}

std::int64_t clock_seconds() { return fake_console::now_ms / 1000; }

void wait_for_key(unsigned ms) {
    using namespace fake_console;
    if (now_ms + ms > limit_ms) throw TimeUp{};
    ++sleeps;
    now_ms += ms;
}

void feed_stdin(const std::string& text) {
    const std::string path = temp_path("stdin");
    {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    if (std::freopen(path.c_str(), "rb", stdin) == nullptr) std::abort();
    std::remove(path.c_str());
}

std::string rest_of_stdin() {
    std::string rest;
    int c;
    while ((c = std::getchar()) != EOF)
        rest += static_cast<char>(c);
    return rest;
}

StdoutCapture::StdoutCapture() : path_(temp_path("stdout")) {
    std::fflush(stdout);
    saved_fd_ = dup(fileno(stdout));
    if (std::freopen(path_.c_str(), "wb", stdout) == nullptr) std::abort();
}

std::string StdoutCapture::finish() {
    if (done_) return "";
    done_ = true;
    std::fflush(stdout);
    dup2(saved_fd_, fileno(stdout));
    close(saved_fd_);
    std::clearerr(stdout);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    std::remove(path_.c_str());
    return text.str();
}

StdoutCapture::~StdoutCapture() { finish(); }
