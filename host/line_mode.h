// The headless line mode: an input driver that reads operator commands, one
// per line, and writes the status log and state lines.
//
// Output: every text appended to the status pane, as it is appended (CR CR LF
// endings kept, converted to UTF-8); the JSON lines of `state` and `about`
// (see json_lines.h). Each output starts on a line of its own: after a text
// without a line end (message 119) a line end is written first, and at the
// end of the run (endOutput). Commands:
//   detect | uninstall | restart | close   click button 1006 | 1 | 1000 | 2
//   select N                               choose item N (0-based) of the device list
//   about                                  open the about box from the system menu,
//                                          print its line, close it with OK
//   state                                  print the state line
//   devices                                print the devices line (devices_json.h)
//                                          as the last detection run left it
// Both lines end with a "machine" member naming the machine's facts
// (machine_facts.h).
//   plan                                   print what an Uninstall would remove
//                                          (host/plan.h); nothing changes
// A click on a disabled button does nothing, as on Windows, and gets one
// line on the error stream. An unknown
// command or an invalid `select` gets one line on the error stream and is
// otherwise ignored; blank lines are ignored. End of input is `close`.
// Every write is flushed and checked: once the output fails, no command is
// read any more (the dialog is closed) and outputFailed() says so.
#pragma once

#include "host/ansi_text.h"
#include "platform/win32.h"
#include "winsim/machine.h"
#include "winsim/user.h"

#include <istream>
#include <ostream>
#include <string>

class LineMode : public winsim::ui::InputDriver {
public:
    // `facts`: what machine the state and devices lines name (machine_facts.h).
    LineMode(std::istream& in, std::ostream& out, std::ostream& err, AnsiText ansi,
             winsim::MachineFacts facts);

    bool waitForInput() override;

    // To be registered with winsim::ui::setTextObserver: echoes what was
    // appended to a status pane.
    void onTextChanged(HWND window, const std::string& before, const std::string& after);

    // Ends the last line of output when it has no line end yet.
    void endOutput();

    // True once a write to the output stream failed (closed, full): the
    // operator can no longer read what happens, so no more input is taken.
    bool outputFailed() const { return outputFailed_; }

private:
    // Flushes the output and records a failure.
    void flushOutput();
    // Writes `text` on a line of its own start (see above), and flushes.
    void write(const std::string& text);
    void writeLine(const std::string& line);

    // Runs one command line; true when it gave the dialog input.
    bool execute(const std::string& line);
    bool handleAboutBox(HWND about);

    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    AnsiText ansi_;
    winsim::MachineFacts facts_;
    HWND mainDialog_ = nullptr;
    bool closing_ = false;
    // The devices line, taken when a detection run has ended (at start-up
    // and after `detect`).
    bool detectionRan_ = true;
    std::string devices_ = "{\"devices\": []}";
    bool outputFailed_ = false;
    bool atLineStart_ = true;
};
