// The real poll cycle on Wine's kernel32 and winmm against the box behind COM2 (EX 291, EY
// 1110, inputs flipped by MASK at each reply) spoiling cycle 2's 0xC1 reply by an extra byte
// or one past the time-out: later cycles read true values, the counters only the box's changes.
#include <cstdio>
#include <cstdlib>

#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"

int main(int, char **argv) {
    const DWORD mask = strtoul(argv[1], nullptr, 0);
    // As the dialog opens and closes (the UI tests drive the real TestDlgProc).
    PreviousInputs = OpenInterface();
    StartPolling();
    // Every cycle ends by arming a new event: four new ids, four whole cycles at least.
    for (UINT id = PollTimerId, cycles = 0; cycles < 4; Sleep(5))
        if (id != PollTimerId)
            id = PollTimerId, ++cycles;
    StopPolling();
    CloseInterface();
    const DWORD counted = EdgeCounters[0];
    bool ok = AnalogEX == 291 && AnalogEY == 1110 && counted >= (mask & 1) * 4 &&
              PreviousInputs == (counted % 2 ? 0 : mask);
    for (int i = 0; i < 8; ++i)
        ok &= EdgeCounters[i] == ((mask >> i) & 1) * counted;
    printf("inputs 0x%02X, EX %lu, EY %lu, E1 changed %lu times\n", PreviousInputs.load(),
           AnalogEX.load(), AnalogEY.load(), counted);
    puts(ok ? "PASSED" : "FAILED: want EX 291, EY 1110 and the same changes on each MASK input");
    return !ok;
}
