#include "dialog/framework/fw_string.h"

#include <cstdio>
#include <vector>

namespace fw {

bool String::load(HINSTANCE instance, UINT id) {
    // LoadStringA copies at most size - 1 characters and cannot say that it
    // truncated; a result that fills the buffer is retried with a larger one.
    // Resource strings are at most 65535 characters long.
    constexpr int kMaxSize = 65536;
    std::vector<char> buffer(256);
    for (;;) {
        const int size = static_cast<int>(buffer.size());
        const int copied = LoadStringA(instance, id, buffer.data(), size);
        if (copied <= 0) {
            text_.clear();
            return false;
        }
        if (copied < size - 1 || size >= kMaxSize) {
            text_.assign(buffer.data(), static_cast<std::size_t>(copied));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

void String::format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    formatV(format, args);
    va_end(args);
}

void String::formatV(const char* format, va_list args) {
    text_.clear();
    if (format == nullptr) {
        return;
    }
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0) {
        return;
    }
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    const int written = std::vsnprintf(buffer.data(), buffer.size(), format, args);
    if (written == needed) {
        text_.assign(buffer.data(), static_cast<std::size_t>(written));
    }
}

}  // namespace fw
