// A growable narrow string with resource loading and printf-style
// formatting: the text type of the dialog framework.
#pragma once

#include "platform/win32.h"

#include <cstdarg>
#include <cstddef>
#include <string>

namespace fw {

class String {
public:
    String() = default;
    explicit String(const char* text) : text_(text != nullptr ? text : "") {}

    // Loads string resource `id` of `instance`, whatever its length.
    // A missing or empty resource leaves the string empty and returns false.
    bool load(HINSTANCE instance, UINT id);

    // Replaces the contents with `format` filled in by printf rules. Surplus
    // arguments are ignored, as printf does. A format the C library refuses
    // leaves the string empty.
    void format(const char* format, ...);
    void formatV(const char* format, va_list args);

    void append(const String& other) { text_ += other.text_; }
    void append(const char* text) { text_ += text != nullptr ? text : ""; }

    const char* c_str() const { return text_.c_str(); }
    std::size_t length() const { return text_.size(); }
    bool empty() const { return text_.empty(); }

private:
    std::string text_;
};

}  // namespace fw
