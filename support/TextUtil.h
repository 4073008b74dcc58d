// UTF-8 / UTF-16 conversions and fixed-size UTF-16 copies.
#pragma once

#include <cstddef>
#include <string>

namespace kva_audioplayer {

std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);
std::string Utf16ToUtf8(const char16_t* text);  // null gives ""

// Length of a zero-terminated UTF-16 text (0 for null).
size_t Utf16Length(const char16_t* text);

// Copies at most capacity-1 units and always terminates; returns the units copied.
size_t CopyUtf16(char16_t* dst, size_t capacity, const char16_t* src);
size_t CopyUtf16(char16_t* dst, size_t capacity, const std::u16string& src);

// ASCII case-insensitive prefix test.
bool StartsWithNoCase(const char* text, const char* prefix);

}  // namespace kva_audioplayer
