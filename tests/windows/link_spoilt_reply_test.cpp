// The link on Wine's kernel32 against the box behind COM2 (EX 291, EY 1110, inputs flipped
// by MASK at each reply) spoiling cycle 2's 0xC1 reply by an extra byte or one past the
// time-out: cycle 3 reads true values, the counters hold only the box's changes.
#include <cstdio>
#include <cstdlib>

#include "link/link.h"
#include "monitor/iostate.h"

int main(int, char **argv) {
    BYTE previous = OpenInterface(), digital = 0;
    DWORD ex = 0, ey = 0, mask = strtoul(argv[1], nullptr, 0), ok = 1;
    for (int cycle = 1; cycle <= 3; ++cycle) { // as the poll cycle does
        CountEdges(previous, digital = ExchangeDigital());
        previous = digital, ex = ExchangeAnalog(0), ey = ExchangeAnalog(1);
        printf("cycle %d: inputs 0x%02X, EX %lu, EY %lu\n", cycle, digital, ex, ey);
    }
    for (int i = 0; i < 8; ++i)
        ok &= EdgeCounters[i] == ((mask >> i) & 1) * 3;
    ok &= digital == 0 && ex == 291 && ey == 1110;
    puts(ok ? "PASSED" : "FAILED: want 0x00, 291, 1110 and 3 changes of each MASK input");
    return !ok;
}
