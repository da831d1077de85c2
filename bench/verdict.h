#pragma once

#include <cstdio>

// One target's line in a benchmark's closing list; returns whether it held.
inline bool verdict(const char *target, bool held)
{
    std::printf("%-58s %s\n", target, held ? "PASS" : "FAIL");
    return held;
}
