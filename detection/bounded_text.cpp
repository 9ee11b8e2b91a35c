#include "detection/bounded_text.h"

#include <cstring>

namespace {

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool joinText(char* dest, size_t capacity, std::initializer_list<const char*> parts) {
    if (dest == nullptr || capacity == 0) return false;
    size_t total = 0;
    for (const char* part : parts) {
        if (part != nullptr) total += std::strlen(part);
    }
    if (total >= capacity) {
        dest[0] = '\0';
        return false;
    }
    // Parts are measured first, so `dest` as the first part is read before
    // anything is written over it; memmove copes with it being moved onto
    // itself.
    size_t used = 0;
    for (const char* part : parts) {
        if (part == nullptr) continue;
        const size_t length = std::strlen(part);
        std::memmove(dest + used, part, length);
        used += length;
    }
    dest[used] = '\0';
    return true;
}

bool isTerminatedText(char* buffer, size_t capacity) {
    if (buffer == nullptr || capacity == 0) return false;
    if (std::memchr(buffer, '\0', capacity) != nullptr) return true;
    buffer[0] = '\0';
    return false;
}

void upperText(char* text) {
    for (; *text != '\0'; ++text) *text = upperAscii(*text);
}

void lowerText(char* text) {
    for (; *text != '\0'; ++text) *text = lowerAscii(*text);
}

bool equalTextNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (upperAscii(*a) != upperAscii(*b)) return false;
    }
    return *a == *b;
}

bool containsText(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

bool startsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text == '\0' || upperAscii(*text) != upperAscii(*prefix)) return false;
    }
    return true;
}
