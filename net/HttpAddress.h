#pragma once

#include <string>

// Address helpers of the HTTP client. Texts are byte strings; positions in the
// comments count from 1, as the old runtime did.

// Splits a web address into its six parts. path is read first: its incoming
// value is the base against which "./" and "../" addresses are resolved.
void SplitAddress(const std::string &address, std::string &scheme, std::string &user, std::string &password,
                  std::string &host, std::string &port, std::string &path);

// The address up to and including the last "/" or ":" before the query;
// empty when there is none. A relative relocation is appended to it.
std::string AddressBase(const std::string &address);

// 1-based position of the last occurrence of sought in text, 0 when none.
int LastPosition(const std::string &sought, const std::string &text);

// Gives name the extension (without its dot), replacing the one it had.
void ReplaceExtension(std::string &name, const std::string &extension);

// Turns a request path into a file name for the document.
void DeriveDocName(std::string &docName);

std::string Base64Encode(const std::string &text);

// "Ddd, DD Mon YYYY HH:MM:SS" for a date-time counted in days since 1899-12-30.
// The value is formatted as it is: the caller appends " GMT".
std::string HttpDate(double dateTime);

// ASCII-only lower case: the old runtime left every other byte as it was.
char LowerAscii(char c);
std::string LowerAscii(std::string text);
// Whether c may appear in a (lower-case) scheme name.
bool InSchemeSet(char c);
