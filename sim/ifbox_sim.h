// ifbox-sim: a simulated interface box on a pseudo-terminal.
//
// The box answers 0xC1 with one input byte and 0xC5/0xC9 with three bytes
// (byte 0 uninterpreted, then the analog value high byte first). Every request
// carries the motor byte, which the box takes over. Replies are paced at 9600
// baud (one byte per 1.0417 ms, on absolute monotonic deadlines) after a
// configurable reply delay. Tests link the library and drive it directly; the
// ifbox-sim command wraps it for the demo and the Windows tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class InputMode {
    Fixed,  // always input_byte
    Flip,   // input_byte ^= flip_mask before every 0xC1 reply
    Lively, // running motors toggle pulse inputs (E1..E4), E5..E8 follow the motor directions
};

enum class AnalogMode {
    Fixed,  // analog_ex / analog_ey
    Lively, // drift around the configured values, faster while motors run
};

enum class Fault {
    None,
    Silent,      // read requests, never answer (from request fault_after on)
    Vanish,      // device disappears after fault_after requests (like an unplugged adapter)
    Garbage,     // answer with random bytes of the right length
    ExtraByte,   // one extra byte after each reply
    MissingByte, // one byte short on every reply (the first reply byte is dropped for 1-byte
                 // replies)
    LateByte,    // the last byte of each reply comes after late_ms
    Slow,        // reply delay of slow_ms before every reply
    Short,       // 3-byte replies carry only their first byte
    Flapping,    // gone for flap_down_ms, back for flap_up_ms, again and again
};

struct Config {
    std::string link;        // symlink pointing at the slave ("" = none)
    bool pacing = true;      // 9600-baud byte times
    int reply_delay_us = 0;  // box reaction time before the first reply byte
    bool claim_ctty = false; // make the pty the process's controlling terminal (command only)

    InputMode input_mode = InputMode::Fixed;
    uint8_t input_byte = 0x00;
    uint8_t flip_mask = 0x00;

    AnalogMode analog_mode = AnalogMode::Fixed;
    uint8_t analog_byte0 = 0x00;
    uint16_t analog_ex = 0x0123;
    uint16_t analog_ey = 0x0456;

    Fault fault = Fault::None;
    int fault_after = 0;    // requests answered normally before the fault starts
    int fault_for = 0;      // requests whose replies the fault spoils, then healthy again
                            // (0: for good; not for Vanish and Flapping)
    int late_ms = 150;      // LateByte
    int slow_ms = 50;       // Slow
    int flap_down_ms = 500; // Flapping
    int flap_up_ms = 500;   // Flapping
    uint32_t seed = 1;      // Garbage

    // When set: one line per request, written as it arrives (the command's --log):
    // "<t_ns> <code> <motor>", t_ns as in Request, code and motor as two hex digits.
    std::string log_path;
};

struct Request {
    int64_t t_ns;  // CLOCK_MONOTONIC when the request's second byte arrived
    uint8_t code;  // 0xC1, 0xC5, 0xC9 or whatever arrived
    uint8_t motor; // second byte
};

struct Box;

// Opens the pseudo-terminal, points cfg.link at its slave and starts the box's
// thread. Returns nullptr (with a message on stderr) when that fails.
Box *Start(const Config &cfg);
// Stops the thread, closes the pty and removes the link.
void Stop(Box *box);

// Path of the slave device (/dev/pts/N) currently served.
std::string SlavePath(Box *box);

// Everything received so far, in order.
std::vector<Request> Log(Box *box);
void ClearLog(Box *box);
// Requests received so far (cheap).
size_t RequestCount(Box *box);
// Motor byte of the latest request (0 before the first).
uint8_t Motors(Box *box);
// Input byte the box would report now.
uint8_t Inputs(Box *box);
// Number of times each input bit has changed so far (as sent in replies).
std::vector<uint64_t> InputFlips(Box *box);

// Change the model while running.
void SetInputs(Box *box, uint8_t byte);
void SetFlipMask(Box *box, uint8_t mask);
void SetAnalog(Box *box, uint16_t ex, uint16_t ey);
void SetReplyDelay(Box *box, int us);
// Switch fault mode at once (fault_after counts from now).
void SetFault(Box *box, Fault fault, int after = 0, int count = 0);
// Vanish now / come back now (a fresh pty behind the same link).
void Vanish(Box *box);
void Reappear(Box *box);
// Write raw bytes to the tool at once (for stray-byte tests).
void Inject(Box *box, const std::vector<uint8_t> &bytes);

// Parse a fault name as used on the command line ("silent", "vanish", ...).
bool ParseFault(const std::string &name, Fault *out);
// "NAME[:AFTER[:FOR]]" as --fault takes it; AFTER and FOR default to 0.
bool ParseFaultSetting(const std::string &text, Fault *out, int *after, int *count);

} // namespace sim
