#pragma once

#include "platform/Exception.h"
#include "platform/Sockets.h"

#include <cstdint>
#include <string>

// ---------------------------------------------------------------------------
// Sockets library record and conversions
// ---------------------------------------------------------------------------

class ESocketException : public Exception {
public:
    explicit ESocketException(const std::string &message);
    // The message as the bytes it was made of.
    const std::string &Text() const { return text_; }

private:
    std::string text_;
};

// The process-wide sockets library. It starts on the first platform call and
// is released when the last socket object goes away; the next call starts it
// again. Starting it starts the lookup workers.
struct TSocketLibrary {
    bool Loaded = false;
    ws::WSADATA StartupData{};
    int StartCount = 0; // how many times it was started, for diagnostics
};
const TSocketLibrary &SocketLibrary();
// Starts the library when it is not running; raises ESocketException when the
// start-up fails.
void LoadSocketLibrary();
void UnloadSocketLibrary();
// Live socket objects of the process.
int SocketUserCount();

bool IsDottedAddress(const std::string &text);
// An IPv6 address written as text, with or without its brackets ("::1",
// "[::1]", blanks around it allowed); the 16 bytes go to addr when given.
bool IsIPv6Literal(const std::string &text, ws::in6_addr *addr = nullptr);
// The address in a record of either family as text, an IPv6 one without
// brackets, and its port; "error" for a family we do not know.
std::string AddressText(const ws::SOCKADDR_STORAGE &record);
std::string AddressPort(const ws::SOCKADDR_STORAGE &record);
std::uint32_t LeadingNumber(const std::string &text);
// IPv4 address in network order.
std::uint32_t WSocketResolveHost(const std::string &host);
// Port number in host order.
std::uint16_t WSocketResolvePort(const std::string &port, const std::string &proto);
int WSocketResolveProto(const std::string &proto);
std::string SocketErrorText(int errorCode);
