// Text of the simulated machine, which the A functions and the window
// system carry in the image's ANSI code page, converted to UTF-8 for output.
#pragma once

#include <string>

class AnsiText {
public:
    // `codePage` as the loaded machine reports it (winsim::codePage()).
    explicit AnsiText(unsigned codePage);

    unsigned codePage() const { return codePage_; }

    // The simulation's own conversion (winsim/codepage.h): a byte the code
    // page leaves undefined becomes the C1 control of the same value. With a
    // code page the simulation does not know, ASCII passes through and every
    // other byte becomes U+FFFD.
    std::string toUtf8(const std::string& ansi) const;

private:
    unsigned codePage_;
};
