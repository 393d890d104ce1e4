// Where decoded sound goes: one small interface, one file per output (the
// sound server, ALSA), and the chooser that tries them in order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace mci {

// How a closing device reaches its playback thread. Every wait of an output
// also watches the descriptor, and gives up at once once it is readable.
// Some libraries block inside calls that nothing can interrupt (ALSA's
// plugins, a sound server's client waiting for a server that is stopped);
// an output marks such calls, so that whoever closes the device knows
// that waiting for the thread could take for ever.
class Interrupt {
public:
    // Takes over `fd`, an eventfd.
    explicit Interrupt(int fd) : fd_(fd) {}
    ~Interrupt();
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    int fd() const { return fd_; }
    void raise() const;
    bool raised() const;
    // Waits `ms` milliseconds or until raised; false when raised.
    bool sleep(int ms) const;
    bool inside_blocking_call() const { return blocking_.load() > 0; }

    // Marks a call that cannot be interrupted for as long as it lives.
    class Blocking {
    public:
        explicit Blocking(Interrupt& interrupt) : interrupt_(interrupt) { ++interrupt_.blocking_; }
        ~Blocking() { --interrupt_.blocking_; }
        Blocking(const Blocking&) = delete;
        Blocking& operator=(const Blocking&) = delete;

    private:
        Interrupt& interrupt_;
    };

private:
    int fd_;
    std::atomic<int> blocking_{0};
};

// What an attempt to open an output found.
enum class Opened {
    yes,
    nothing_here,  // nothing to play to (no server, no device): the next output may
    no_answer,     // a sound server is there and did not answer: nothing else is tried
};

// One stream of 16-bit interleaved frames, used by one thread from open to
// close; every wait gives up once the interrupt is raised.
class Output {
public:
    virtual ~Output() = default;
    virtual Opened open(unsigned rate, unsigned channels) = 0;
    // Writes all `frames`, waiting while there is no room. False when
    // interrupted or when the output is lost (a server gone, a device
    // unplugged).
    virtual bool write(const std::int16_t* samples, std::size_t frames) = 0;
    // Waits until everything written has been heard. False when
    // interrupted or lost.
    virtual bool drain() = 0;
    // Stops at once, dropping what has not been heard, and closes.
    virtual void close() = 0;
};

std::unique_ptr<Output> make_pulse_output(Interrupt& interrupt);
std::unique_ptr<Output> make_alsa_output(Interrupt& interrupt);
// What ALSA's output must do before its first stream, on the thread that
// opens the first device, while no other thread of the player's runs yet.
void prepare_alsa_output();

// The chooser (output_chooser.cpp).
// Gets the outputs ready; called at every open of a device.
void prepare_outputs();
// The first output that opens the stream: the sound server, natively;
// ALSA's PCM "default" where no server is there at all. Null where none
// plays now; the caller tries again later.
std::unique_ptr<Output> open_output(Interrupt& interrupt, unsigned rate, unsigned channels);

}  // namespace mci
