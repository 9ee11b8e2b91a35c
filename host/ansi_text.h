// Text of the simulated machine, which the A functions and the window
// system carry in the image's ANSI code page, converted to UTF-8 for output.
#pragma once

#include <string>

class AnsiText {
public:
    // `codePage` as the loaded machine reports it (winsim::codePage()).
    explicit AnsiText(unsigned codePage);

    unsigned codePage() const { return codePage_; }

    // ASCII passes through; other bytes are mapped through the code page. A
    // byte the code page leaves undefined (or a code page the C library does
    // not know) becomes U+FFFD.
    std::string toUtf8(const std::string& ansi) const;

private:
    unsigned codePage_;
};
