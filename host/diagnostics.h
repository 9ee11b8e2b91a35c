// The program's messages on standard error. Every one starts with
// "quorvane-uninstall: "; the lines that continue a message are indented
// under it. Each line also goes to the log (run_log.h), and while the
// terminal UI owns the terminal the lines wait and are written when it has
// been given back.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

class RunLog;

class Diagnostics {
public:
    explicit Diagnostics(std::ostream& err);
    // Writes what is still held.
    ~Diagnostics();
    Diagnostics(const Diagnostics&) = delete;
    Diagnostics& operator=(const Diagnostics&) = delete;

    // One message: "quorvane-uninstall: " and `text`; a line break in
    // `text` starts an indented continuation line.
    void say(const std::string& text);

    // For writers of whole lines (each ends with '\n'): a line that starts
    // neither with the program's name nor with an indentation gets the
    // name.
    std::ostream& stream() { return stream_; }

    // Lines also go to `log` (nullptr: none).
    void setLog(RunLog* log) { log_ = log; }

    // Keeps the lines from standard error until release().
    void hold() { holding_ = true; }
    void release();

private:
    class LineBuffer : public std::streambuf {
    public:
        explicit LineBuffer(Diagnostics& owner) : owner_(owner) {}

    protected:
        int_type overflow(int_type c) override;

    private:
        Diagnostics& owner_;
        std::string line_;
    };

    void emit(std::string line);

    std::ostream& err_;
    RunLog* log_ = nullptr;
    bool holding_ = false;
    std::string held_;
    LineBuffer buffer_{*this};
    std::ostream stream_{&buffer_};
};

// "quorvane-uninstall: "
extern const char kProgramPrefix[];
