// Generations of what one thread begins and ends while others work in it: odd while
// live, even once ended, every begin a new odd number. A worker keeps the number it
// started under and stops once Live finds it ended or replaced.
#pragma once

#include <atomic>

using Generation = std::atomic<unsigned>;

inline void Begin(Generation &g) {
    g = (g | 1u) + 2u;
}
inline void End(Generation &g) {
    g = (g + 1u) & ~1u;
}
inline bool Live(const Generation &g, unsigned n) {
    return g == n && n % 2 == 1;
}
