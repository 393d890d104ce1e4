// A fake clock, sleep and key test: the clock moves only when the player
// sleeps, and keys are "hit" at scripted moments. What is typed comes from
// standard input, which a test fills with feed_stdin().
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace fake_console {

// Milliseconds on the fake clock; clock_seconds() is this / 1000.
extern std::int64_t now_ms;
// Moments at which the key test turns true once, in order.
extern std::deque<std::int64_t> keys;
// wait_for_key() throws TimeUp once the clock would pass this: the way out of a
// player that plays forever.
extern std::int64_t limit_ms;
// How often wait_for_key() was called.
extern long sleeps;

struct TimeUp {};

void reset(std::int64_t start_ms, std::int64_t limit);

}  // namespace fake_console

// Standard input reads `text` from now on.
void feed_stdin(const std::string& text);

// What standard input still holds (read to its end).
std::string rest_of_stdin();

// Collects what is printed on standard output between start() and finish().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string finish();

private:
    int saved_fd_;
    std::string path_;
    bool done_ = false;
};
