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

// An address as the user wrote it reaches the client in the list's code page
// (Windows-1252); on the wire it goes as a browser sends it. WirePath: the
// path and query in UTF-8, every byte outside ASCII percent-encoded (what is
// already percent-encoded stays as it is). WireHost: a host name that is not
// ASCII in its IDNA form ("xn--..."), for the lookup, Host, the name
// indication and the certificate check; unchanged when it has none, so that
// its lookup fails as any unknown name's. ASCII goes through untouched.
std::string WirePath(const std::string &path);
std::string WireHost(const std::string &host);

// "Ddd, DD Mon YYYY HH:MM:SS" for a date-time counted in days since 1899-12-30.
// The value is formatted as it is: the caller appends " GMT".
std::string HttpDate(double dateTime);

// ASCII-only lower case: the old runtime left every other byte as it was.
char LowerAscii(char c);
std::string LowerAscii(std::string text);
// Whether c may appear in a (lower-case) scheme name.
bool InSchemeSet(char c);
