// Text helpers shared by the HTTP client's files.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kva_audioplayer {
namespace httptext {

inline bool StartsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

inline // Schemes are case-insensitive.
bool HasScheme(const char* text, const char* scheme) {
    return strncasecmp(text, scheme, strlen(scheme)) == 0;
}

inline // A URL for the log: credentials in it are a header value and stay out.
std::string ForLog(const char* url) {
    if (!url) return "null";
    std::string text = url;
    size_t scheme = text.find("://");
    size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    size_t hostEnd = text.find_first_of("/?#", hostStart);
    size_t at = text.rfind('@', hostEnd == std::string::npos ? std::string::npos : hostEnd);
    if (scheme != std::string::npos && at != std::string::npos && at >= hostStart)
        text.erase(hostStart, at + 1 - hostStart);
    return text;
}

inline std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

inline std::string Trim(const char* begin, const char* end) {
    while (begin < end && isspace(static_cast<unsigned char>(*begin))) ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(end[-1]))) --end;
    return std::string(begin, end);
}

inline bool SameName(const std::string& name, const char* key) {
    return name.size() == strlen(key) && strncasecmp(name.c_str(), key, name.size()) == 0;
}

inline // Decimal digits up to the end of the text, no sign, no overflow.
bool ParseDecimal(const char* text, int64_t* out) {
    if (!text || !*text) return false;
    int64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (value > (INT64_MAX - 9) / 10) return false;
        value = value * 10 + (*p - '0');
    }
    *out = value;
    return true;
}

}  // namespace httptext
}  // namespace kva_audioplayer
