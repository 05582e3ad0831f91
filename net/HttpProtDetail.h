#pragma once

#include <string>

// What the client's source files share and nobody else needs.
namespace httpdetail {

// CR, LF or NUL: a value that holds one would write header lines of its own.
bool HasUnsafeCharacter(const std::string &text);
bool AllDigits(const std::string &text);
// StrToInt of the old runtime on a byte string; false when it is not a number.
bool ToInt(const std::string &text, int &value);
// A platform error's text with its number: "Connection refused (Error #10061)".
std::string ErrorWithCode(int code);
// "host:port", an IPv6 address in its brackets.
inline std::string HostAndPort(const std::string &host, const std::string &port)
{
    const bool bare6 = host.find(':') != std::string::npos && host.front() != '[';
    return (bare6 ? "[" + host + "]" : host) + ":" + port;
}

} // namespace httpdetail
