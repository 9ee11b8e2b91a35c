#include "dialog/framework/fw_string.h"

#include <cstdlib>
#include <cstring>

namespace fw {

namespace {

#ifndef _WIN32
// Decimal digits of `value`, written backwards from `end`; returns the first.
char* decimal(unsigned int value, char* end) {
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}
#endif

}  // namespace

String::~String() { std::free(text_); }

void String::clear() {
    length_ = 0;
    if (text_ != nullptr) text_[0] = '\0';
}

bool String::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    std::size_t grown = capacity_ < 64 ? 64 : capacity_;
    while (grown < capacity) grown *= 2;
    char* moved = static_cast<char*>(std::realloc(text_, grown));
    if (moved == nullptr) return false;
    if (text_ == nullptr) moved[0] = '\0';
    text_ = moved;
    capacity_ = grown;
    return true;
}

bool String::append(const char* text) { return text == nullptr || append(text, std::strlen(text)); }

bool String::append(const char* text, std::size_t count) {
    if (!reserve(length_ + count + 1)) return false;
    std::memcpy(text_ + length_, text, count);
    length_ += count;
    text_[length_] = '\0';
    return true;
}

bool String::load(HINSTANCE instance, UINT id) {
    // LoadStringA copies at most size - 1 characters and cannot say that it
    // truncated; a result that fills the buffer is retried with a larger one.
    // Resource strings are at most 65535 characters long.
    constexpr std::size_t kMaxSize = 65536;
    clear();
    for (std::size_t size = 256;; size *= 2) {
        if (!reserve(size)) return false;
        const int copied = LoadStringA(instance, id, text_, static_cast<int>(size));
        length_ = copied > 0 ? static_cast<std::size_t>(copied) : 0;
        text_[length_] = '\0';
        if (length_ + 1 < size || size >= kMaxSize) return length_ != 0;
    }
}

void String::format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatV(format, args);
    va_end(args);
}

void String::formatV(const char* format, va_list args) {
    clear();
    appendFormatV(format, args);
}

void String::appendFormatV(const char* format, va_list args) {
    if (format == nullptr) return;
#ifdef _WIN32
    // The system's own formatter: %s, %d, %u and %% as printf has them, at
    // most 1,024 characters. The longest catalogue message with two of the
    // longest device descriptions (259 characters each) is under 700.
    constexpr std::size_t kSystemLimit = 1024;
    if (!reserve(length_ + kSystemLimit + 1)) return;
    const int written = wvsprintfA(text_ + length_, format, args);
    if (written > 0) length_ += static_cast<std::size_t>(written);
    text_[length_] = '\0';
#else
    const char* literal = format;
    for (const char* at = format; *at != '\0'; ++at) {
        if (at[0] != '%') continue;
        const char type = at[1];
        if (type != 's' && type != 'd' && type != 'u' && type != '%') continue;
        append(literal, static_cast<std::size_t>(at - literal));
        ++at;
        literal = at + 1;
        if (type == 's') {
            const char* text = va_arg(args, const char*);
            append(text != nullptr ? text : "(null)");
            continue;
        }
        if (type == '%') {
            append("%", 1);
            continue;
        }
        // %d and %u: the magnitude as unsigned (-INT_MIN does not fit an int).
        unsigned int magnitude;
        bool negative = false;
        if (type == 'd') {
            const int value = va_arg(args, int);
            negative = value < 0;
            magnitude =
                negative ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
        } else {
            magnitude = va_arg(args, unsigned int);
        }
        char digits[16];
        char* const end = digits + sizeof digits;
        char* first = decimal(magnitude, end);
        if (negative) *--first = '-';
        append(first, static_cast<std::size_t>(end - first));
    }
    append(literal, std::strlen(literal));
#endif
}

}  // namespace fw
