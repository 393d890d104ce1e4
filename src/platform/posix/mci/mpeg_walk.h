// The walk over every frame of an MPEG file, on a thread of its own: the
// file's exact length, and whether it is as its encoder's tag describes it.
#pragma once

#include <mpg123.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "buffered_file.h"

namespace mci {

// A libmpg123 handle, closed and deleted with it.
using MpegHandle = std::unique_ptr<mpg123_handle, void (*)(mpg123_handle*)>;

// What the encoder's tag (LAME's, as libmpg123 reports it) declares, in
// samples per channel of the decoder's output; all 0 without one.
struct Tag {
    std::uint64_t begin = 0;    // the delay, cut at the start
    std::uint64_t end_cut = 0;  // the padding, cut at the end if the walk agrees
    std::uint64_t samples = 0;  // the frames it counts, in samples
};

// What the walk found.
struct Walk {
    std::uint32_t length_ms = 0;
    bool trim_end = false;  // the padding is cut: the file is as its tag says
    std::uint64_t end = 0;  // with trim_end: the sample after the last one played
};

class FrameWalk {
public:
    // `handle` reads `file` and has read its first frame.
    FrameWalk(MpegHandle handle, std::unique_ptr<BufferedFile> file, const Tag& tag)
        : file_(std::move(file)), handle_(std::move(handle)), tag_(tag) {}
    ~FrameWalk();
    FrameWalk(const FrameWalk&) = delete;
    FrameWalk& operator=(const FrameWalk&) = delete;

    // Starts the walk unless it has started, and waits for its end; safe
    // from any thread.
    Walk result();

private:
    void walk();

    // The walk's thread alone uses them once it has started.
    std::unique_ptr<BufferedFile> file_;
    MpegHandle handle_;
    const Tag tag_;
    std::atomic<bool> stop_{false};

    std::mutex mutex_;
    std::condition_variable done_changed_;
    std::thread thread_;
    bool started_ = false;
    bool done_ = false;
    Walk found_;
};

}  // namespace mci
