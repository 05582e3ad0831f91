#pragma once

#include "net/SocketLibrary.h"

#include <atomic>
#include <cstdint>
#include <string>

// What the socket layers share of the library record; not for use above net/.
namespace wsdetail {

extern std::atomic<bool> gLoaded;
extern std::atomic<int> gSocketUserCount;
// Set when the application asked to quit; PumpOneMessage reports it.
extern std::atomic<bool> gQuitRequested;
// Every request to quit, so a wait can tell whether one came while it ran.
extern std::atomic<unsigned> gQuitCount;

// Every platform sockets call goes through here first: the library starts on
// the first call after start-up or after an unload.
inline void Lib()
{
    if (!gLoaded.load(std::memory_order_acquire))
        LoadSocketLibrary();
}

std::string Trim(const std::string &s);
bool IsDigit(char c);
// Fills the first %s with text and the first %d with code, in whatever order
// they appear; the program's formats use at most one of each.
std::string FormatMessage(const char *format, const std::string &text, int code);
std::string Dotted(std::uint32_t addr);
void WatchForQuit();

inline const ws::SOCKADDR *AsSockAddr(const ws::SOCKADDR_IN *in)
{
    return reinterpret_cast<const ws::SOCKADDR *>(in);
}
inline ws::SOCKADDR *AsSockAddr(ws::SOCKADDR_IN *in)
{
    return reinterpret_cast<ws::SOCKADDR *>(in);
}

} // namespace wsdetail
