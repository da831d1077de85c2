#pragma once

#include <QtGlobal>

#include <chrono>

// Units every part of the program counts in.
constexpr int FullPercent = 100;
constexpr int MsPerSecond = 1000;

// Milliseconds on the steady clock: what "when" means between the engine and its owners.
inline qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
