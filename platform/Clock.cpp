#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace {
std::function<void(std::uint32_t)> &Sleeper()
{
    static std::function<void(std::uint32_t)> sleeper;
    return sleeper;
}
} // namespace

std::uint32_t TickCount()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Sleep(std::uint32_t milliseconds)
{
    if (Sleeper()) {
        Sleeper()(milliseconds);
        return;
    }
    if (milliseconds == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetSleeperForTesting(std::function<void(std::uint32_t)> sleeper)
{
    Sleeper() = std::move(sleeper);
}
