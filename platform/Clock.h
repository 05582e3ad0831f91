#pragma once

#include <cstdint>
#include <functional>

// Milliseconds since an arbitrary start; only differences mean anything.
std::uint32_t TickCount();

// Blocks the calling thread. Tests replace the sleeper so that the run's 10 s
// and 5 s bandwidth waits cost nothing.
void Sleep(std::uint32_t milliseconds);
void SetSleeperForTesting(std::function<void(std::uint32_t)> sleeper);
