// A growable narrow string with resource loading and printf-style
// formatting: the text type of the dialog framework. Plain heap memory; on
// Windows the system's formatter (wvsprintfA), elsewhere its own, so the
// Windows build needs no C++ library string and no C library printf.
#pragma once

#include "platform/win32.h"

#include <cstdarg>
#include <cstddef>

namespace fw {

class String {
public:
    String() = default;
    explicit String(const char* text) { append(text); }
    ~String();
    String(const String&) = delete;
    String& operator=(const String&) = delete;

    // Loads string resource `id` of `instance`, whatever its length.
    // A missing or empty resource leaves the string empty and returns false.
    bool load(HINSTANCE instance, UINT id);

    // Replaces the contents with `format` filled in: %s (a string, null
    // shown as "(null)"), %d (int), %u (unsigned int) and %% ; surplus
    // arguments are ignored, as printf does. On Windows (wvsprintfA) the
    // result is at most 1,024 characters and the other wsprintf conversions
    // work too; elsewhere any other conversion is copied as it stands and
    // takes no argument.
    void format(const char* format, ...);
    void formatV(const char* format, va_list args);
    // Appends `format` filled in, by the same rules.
    void appendFormatV(const char* format, va_list args);

    // Appends; false (and the string unchanged) when memory runs out.
    bool append(const String& other) { return append(other.c_str(), other.length()); }
    bool append(const char* text);

    const char* c_str() const { return text_ != nullptr ? text_ : ""; }
    std::size_t length() const { return length_; }
    bool empty() const { return length_ == 0; }

private:
    bool append(const char* text, std::size_t count);
    bool reserve(std::size_t capacity);
    void clear();

    char* text_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;  // bytes at text_, the terminator included
};

}  // namespace fw
