// Code page 1251 <-> UTF-8, our own table.
#pragma once

#include <cstdint>
#include <string>

// UTF-8 text to 1251 bytes; a character that 1251 cannot hold (or an invalid
// UTF-8 sequence) becomes '?'.
std::string Utf8ToCp1251(const std::string& utf8);
// 1251 bytes to UTF-8; every byte maps to a character (0x98 to U+FFFD).
std::string Cp1251ToUtf8(const std::string& cp1251);
// Number of characters (code points) of a UTF-8 text.
std::size_t Utf8Length(const std::string& utf8);

// Marks a malformed UTF-8 sequence in NextUtf8CodePoint.
constexpr char32_t kInvalidCodePoint = 0xFFFFFFFF;
// Decodes the code point at pos and advances pos past it; false at the end.
// A malformed sequence yields kInvalidCodePoint and advances by one byte.
bool NextUtf8CodePoint(const std::string& utf8, std::size_t& pos, char32_t& cp);
// The UTF-8 encoding of one code point.
std::string CodePointToUtf8(char32_t cp);
