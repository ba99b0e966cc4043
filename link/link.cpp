// The interface link: every port call and the reply buffers are guarded by PortLock.
#include "link/link.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "link/generation.h"

std::atomic<BYTE> MotorByte{0};
std::atomic<HWND> DialogHandle{nullptr};
std::atomic<HANDLE> PortHandle{INVALID_HANDLE_VALUE};

namespace {

constexpr const char *PORT_NAME = "COM2";
// One call and up to 20,000 repeats: a read that reports failure is retried at
// once, as boxes on flaky lines recover within a few calls.
constexpr DWORD READ_CALLS = 20001;
// Reads and writes give up after this long, so a silent box cannot stop the
// poll cycle; a read that times out counts as a success with fewer bytes.
constexpr DWORD PORT_TIMEOUT_MS = 100;
// After a failure message has been dismissed, the user gets this long to reach
// "Abbrechen" before the next exchange can raise the next message.
constexpr auto PAUSE_AFTER_MESSAGE = std::chrono::milliseconds(1000);

const char FAILURE_TITLE[] = "Fehler";
const char LINK_FAILURE_TEXT[] = "Bitte \xFC"
                                 "berpr\xFC"
                                 "fen Sie die serielle Verbindung zum Interface";
const char ANALOG_FAILURE_TEXT[] = "Ein Problem mit den analogen Eing\xE4"
                                   "ngen ist aufgetreten";

// Replies are read over the previous content, so a failed or short read leaves
// the last good reply (or this initial content) in place.
BYTE DigitalReply[1] = {0x61};
BYTE AnalogReply[3] = {0x20, 0x20, 0x20};

std::mutex PortLock;
std::condition_variable PortClosed;
// Live while the port is open (even if opening failed); only the dialog's thread writes it.
Generation Opening{0};

// No exchange starts before this. Set when a failure message is dismissed, on
// whichever thread showed it; the exchange that waits is always the next one,
// which runs on the poll thread: the dialog's thread has only the first
// exchange of an opening, and a new opening clears the pause. Guarded by PortLock.
std::chrono::steady_clock::time_point PauseUntil;

// High byte first; byte 0 is not part of the value. Callers hold PortLock.
DWORD AnalogValue() {
    return static_cast<DWORD>(AnalogReply[1]) * 256 + AnalogReply[2];
}

// Reads `count` bytes into `reply` with the repeat rule. Returns false when no call
// succeeded, or when the opening ended meanwhile (the caller then stays quiet).
bool ReadReply(unsigned opening, HANDLE port, BYTE *reply, DWORD count) {
    for (DWORD call = 0; call < READ_CALLS; ++call) {
        if (!Live(Opening, opening))
            return false;
        DWORD got = 0;
        if (ReadFile(port, reply, count, &got, nullptr))
            return true;
    }
    return false;
}

// A reply is read after its request only, so a byte no request asked for (noise, a
// reply later than the time-out, a box switched on while polled) would otherwise be
// read as the next reply's first and shift every reply after it for the rest of the
// opening. Dropped before each request, it costs that exchange and the next at most;
// a healthy box has sent nothing by then. A failure here shows in the write or flush.
void DiscardStaleInput(HANDLE port) {
    (void)PurgeComm(port, PURGE_RXCLEAR);
}

void ReportFailure(const char *text, unsigned opening) {
    if (!Live(Opening, opening))
        return;
    MessageBoxA(DialogHandle.load(), text, FAILURE_TITLE, MB_OK);
    std::lock_guard<std::mutex> hold(PortLock);
    if (Live(Opening, opening))
        PauseUntil = std::chrono::steady_clock::now() + PAUSE_AFTER_MESSAGE;
}

// Waits out the pause after a message (closing ends it); whether the opening is still live.
bool AfterPause(std::unique_lock<std::mutex> &hold, unsigned opening) {
    // Checked first: a wait on a time already past still costs a system call, and
    // this runs before every exchange of the poll cycle.
    if (std::chrono::steady_clock::now() < PauseUntil)
        PortClosed.wait_until(hold, PauseUntil, [opening] { return !Live(Opening, opening); });
    return Live(Opening, opening);
}

} // namespace

BYTE OpenInterface() {
    {
        std::lock_guard<std::mutex> hold(PortLock);
        Begin(Opening);
        PortClosed.notify_all(); // an exchange pausing after a message belongs to the old opening
        PauseUntil = {};
        HANDLE old = PortHandle.exchange(INVALID_HANDLE_VALUE);
        if (old != INVALID_HANDLE_VALUE)
            CloseHandle(old);

        HANDLE port = CreateFileA(PORT_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        // Zeroed first: should reading the settings fail, no garbage is written back.
        DCB dcb;
        memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        GetCommState(port, &dcb);
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        // Every byte value must pass both ways. Software flow control, which
        // many ports report as on, would swallow 0x11/0x13 replies and stop
        // output after a 0x13; error replacement and null stripping would
        // alter bytes too. Hardware handshake stays as the port reports it.
        dcb.fBinary = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        SetCommState(port, &dcb);
        COMMTIMEOUTS timeouts = {0, 0, PORT_TIMEOUT_MS, 0, PORT_TIMEOUT_MS};
        SetCommTimeouts(port, &timeouts);
        PortHandle.store(port);
    }
    return ResetOutputs();
}

BYTE ResetOutputs() {
    MotorByte.store(0);
    return ExchangeDigital();
}

BYTE ExchangeDigital() {
    std::unique_lock<std::mutex> hold(PortLock);
    const unsigned opening = Opening.load();
    if (!AfterPause(hold, opening))
        return DigitalReply[0];
    HANDLE port = PortHandle.load();
    DiscardStaleInput(port);
    const BYTE request[2] = {REQ_INPUTS, MotorByte.load()};
    DWORD written = 0;
    (void)WriteFile(port, request, sizeof request, &written, nullptr);
    // The write's own outcome is not trusted; the flush's is, since it fails
    // as well when the port is not open or the device has gone.
    bool ok = Live(Opening, opening) && FlushFileBuffers(port) &&
              ReadReply(opening, port, DigitalReply, 1);
    const BYTE value = DigitalReply[0];
    hold.unlock();
    if (!ok)
        ReportFailure(LINK_FAILURE_TEXT, opening);
    return value;
}

DWORD ExchangeAnalog(BYTE channel) {
    std::unique_lock<std::mutex> hold(PortLock);
    const unsigned opening = Opening.load();
    if (!AfterPause(hold, opening))
        return AnalogValue();
    HANDLE port = PortHandle.load();
    DiscardStaleInput(port);
    const BYTE request[2] = {channel == 0 ? REQ_ANALOG_EX : REQ_ANALOG_EY, MotorByte.load()};
    DWORD written = 0;
    const char *failure = nullptr;
    if (!WriteFile(port, request, sizeof request, &written, nullptr))
        failure = LINK_FAILURE_TEXT;
    else if (!ReadReply(opening, port, AnalogReply, 3))
        failure = ANALOG_FAILURE_TEXT;
    const DWORD value = AnalogValue();
    hold.unlock();
    if (failure != nullptr)
        ReportFailure(failure, opening);
    return value;
}

void CloseInterface() {
    // Announce first: an exchange in progress stops after its current call
    // instead of starting another, so the wait below is for one call at most;
    // and an exchange that comes after this does nothing at all.
    End(Opening);
    std::lock_guard<std::mutex> hold(PortLock);
    HANDLE port = PortHandle.exchange(INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE)
        CloseHandle(port);
    PortClosed.notify_all();
}
