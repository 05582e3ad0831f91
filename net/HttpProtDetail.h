#pragma once

#include <string>

// What the client's source files share and nobody else needs.
namespace httpdetail {

// CR, LF or NUL: a value that holds one would write header lines of its own.
bool HasUnsafeCharacter(const std::string &text);
bool AllDigits(const std::string &text);
// StrToInt of the old runtime on a byte string; false when it is not a number.
bool ToInt(const std::string &text, int &value);

} // namespace httpdetail
