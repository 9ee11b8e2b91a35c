#include "detection/bounded_text.h"

#include "platform/win32.h"

#include <cstring>

namespace {

// Compares `length` bytes of `a` and `b` by their upper-case forms. Case
// mapping keeps the byte length, so equal texts fold piece by piece.
bool equalFolded(const char* a, const char* b, size_t length) {
    char foldedA[256];
    char foldedB[256];
    while (length > 0) {
        const size_t piece = length < sizeof foldedA ? length : sizeof foldedA;
        std::memcpy(foldedA, a, piece);
        std::memcpy(foldedB, b, piece);
        CharUpperBuffA(foldedA, static_cast<DWORD>(piece));
        CharUpperBuffA(foldedB, static_cast<DWORD>(piece));
        if (std::memcmp(foldedA, foldedB, piece) != 0) return false;
        a += piece;
        b += piece;
        length -= piece;
    }
    return true;
}

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

void upperText(char* text) { CharUpperBuffA(text, static_cast<DWORD>(std::strlen(text))); }

void lowerText(char* text) { CharLowerBuffA(text, static_cast<DWORD>(std::strlen(text))); }

bool equalTextNoCase(const char* a, const char* b) {
    const size_t length = std::strlen(a);
    return std::strlen(b) == length && equalFolded(a, b, length);
}

bool containsText(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

bool startsWithNoCase(const char* text, const char* prefix) {
    const size_t length = std::strlen(prefix);
    return std::strlen(text) >= length && equalFolded(text, prefix, length);
}
