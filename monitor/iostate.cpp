// I/O state and motor commands.
#include "monitor/iostate.h"

#include "link/link.h"

std::atomic<BYTE> PreviousInputs{0};
std::atomic<DWORD> EdgeCounters[8] = {};
std::atomic<DWORD> AnalogEX{0};
std::atomic<DWORD> AnalogEY{0};

BYTE SetBit(BYTE value, int n) {
    return static_cast<BYTE>(value | (1u << (n - 1)));
}

BYTE ClearBit(BYTE value, int n) {
    return static_cast<BYTE>(value & ~(1u << (n - 1)));
}

int TestBit(BYTE value, int n) {
    return (value >> (n - 1)) & 1;
}

void SetMotor(int motor, char direction) {
    const int right = 2 * motor; // bit number of "Rechts"; "Links" is the one below
    // One read, one store: the poll thread sees the old or the new byte, never
    // a half-switched motor with both bits or none.
    BYTE motors = MotorByte.load();
    switch (direction) {
    case 'A':
        motors = ClearBit(ClearBit(motors, right), right - 1);
        break;
    case 'L':
        motors = SetBit(ClearBit(motors, right), right - 1);
        break;
    case 'R':
        motors = ClearBit(SetBit(motors, right), right - 1);
        break;
    default:
        return;
    }
    MotorByte.store(motors);
}

void CountEdges(BYTE previous, BYTE current) {
    const BYTE changed = previous ^ current;
    for (int n = 1; n <= 8; ++n)
        if (TestBit(changed, n))
            EdgeCounters[n - 1].fetch_add(
                1); // one read-modify-write: a racing Reset wins or loses whole
}
