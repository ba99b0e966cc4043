// ifbox-sim: a simulated interface box on a pseudo-terminal. It answers 0xC1 with
// one input byte and 0xC5/0xC9 with three (byte 0, then the analog value high byte
// first), takes over the motor byte of every request, and paces replies at 9600-baud
// byte times after a reply delay. Each box runs a thread of its own; every call below
// may be made from any thread. Tests link the library; the command wraps it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class InputMode {
    Fixed,  // always input_byte
    Flip,   // input_byte ^= flip_mask before every 0xC1 reply
    Lively, // running motors toggle pulse inputs (E1..E4), E5..E8 follow the motor directions
    Echo,   // replies from the request's motor byte m: 0xC1 m, 0xC5 [b0, m, ~m], 0xC9 [b0, ~m, m]
};

enum class AnalogMode {
    Fixed,  // analog_ex / analog_ey
    Lively, // drift around the configured values
};

enum class Fault {
    None,
    Silent,      // read requests, never answer
    Vanish,      // the device disappears (like an unplugged adapter)
    Garbage,     // random bytes of the right length
    ExtraByte,   // one extra byte after each reply
    MissingByte, // every reply one byte short
    LateByte,    // the last byte of each reply comes late_ms late
    Slow,        // slow_ms more before every reply
    Short,       // 3-byte replies carry only their first byte
    Flapping,    // gone for flap_down_ms, back for flap_up_ms, again and again
};

struct Config {
    // Symlink to the slave ("" = none). Refused if it exists and is not a stale
    // link (to a /dev/pts/N that is gone), or if another live box serves it.
    std::string link;
    bool pacing = true;      // 9600-baud byte times
    int reply_delay_us = 0;  // box reaction time before the first reply byte
    bool claim_ctty = false; // make the pty the process's controlling terminal
    InputMode input_mode = InputMode::Fixed;
    uint8_t input_byte = 0x00, flip_mask = 0x00;
    AnalogMode analog_mode = AnalogMode::Fixed;
    uint8_t analog_byte0 = 0x00;
    uint16_t analog_ex = 0x0123, analog_ey = 0x0456;
    Fault fault = Fault::None;
    int fault_after = 0;                      // requests answered normally before the fault starts
    int fault_for = 0;                        // replies it spoils, then healthy again (0: for good)
    int late_ms = 150;                        // LateByte
    int slow_ms = 50;                         // Slow
    int flap_down_ms = 500, flap_up_ms = 500; // Flapping
    uint32_t seed = 1;                        // Garbage
    // When set, one line per request as it arrives: "<t_ns> <code> <motor>",
    // t_ns as in Request, code and motor as two hex digits each.
    std::string log_path;
};

struct Request {
    int64_t t_ns;  // CLOCK_MONOTONIC when the request's second byte arrived
    uint8_t code;  // 0xC1, 0xC5, 0xC9 or whatever arrived
    uint8_t motor; // second byte
};

struct Box;

// Opens the pseudo-terminal, points cfg.link at its slave and starts the box's
// thread. On failure (link refused, log not writable, no pty) writes one line
// to stderr, leaves nothing behind and returns nullptr.
Box *Start(const Config &cfg);
// Stops the thread, closes the pty, removes the link if it still points at it.
void Stop(Box *box);

std::string SlavePath(Box *box);    // the slave now served (/dev/pts/N)
std::vector<Request> Log(Box *box); // every request so far, in order
void ClearLog(Box *box);
size_t RequestCount(Box *box);
uint8_t Motors(Box *box);                   // motor byte of the latest request (0 before the first)
uint8_t Inputs(Box *box);                   // input byte the box would report now
std::vector<uint64_t> InputFlips(Box *box); // changes of each input bit in the replies sent

// The model, changed while running; effective from the next reply.
void SetInputs(Box *box, uint8_t byte);
void SetFlipMask(Box *box, uint8_t mask);
void SetAnalog(Box *box, uint16_t ex, uint16_t ey);
// Switches the fault mode at once; `after` counts from now.
void SetFault(Box *box, Fault fault, int after = 0, int count = 0);
// Gone now / back now (a fresh pty behind the same link; ends a Vanish fault),
// returning once done.
void Vanish(Box *box);
void Reappear(Box *box);
// Writes raw bytes to the tool at once (stray bytes), returning once written.
void Inject(Box *box, const std::vector<uint8_t> &bytes);

} // namespace sim
