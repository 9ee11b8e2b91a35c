// Machine images for tests: a fresh temporary image directory per object,
// removed again by the destructor.
#pragma once

#include <set>
#include <string>

namespace qu_test {

class TempImage {
public:
    // machine.ini gets [system] with these values; system.reg starts as an
    // empty REGEDIT4 file; drive_c/ and the Windows directory exist.
    explicit TempImage(const std::string& platform = "nt", const std::string& version = "5.1.2600",
                       const std::string& windows = "C:\\WINDOWS");
    ~TempImage();
    TempImage(const TempImage&) = delete;
    TempImage& operator=(const TempImage&) = delete;

    // Appended to machine.ini, e.g. "[faults]\nremove = fail\n".
    void ini(const std::string& extraIniText);
    // system.reg = "REGEDIT4\r\n\r\n" + text.
    void reg(const std::string& regTextAfterHeader);
    // system.reg = exactly these bytes.
    void rawReg(const std::string& bytes);
    // A file on the C: drive, e.g. "C:\\WINDOWS\\Inf\\oem7.inf"; folders are
    // created as needed (named as in the path).
    void file(const std::string& cPath, const std::string& content = "x", bool readOnly = false);
    // Whether a C: path exists (components matched ignoring case).
    bool exists(const std::string& cPath) const;
    std::string dir() const;
    // Host path of a C: path (for tests that look at a file directly).
    std::string host(const std::string& cPath) const;
    // Loads the image as the current machine; throws std::runtime_error
    // with the loader's message on failure.
    void load();
    // Reads system.reg back as bytes.
    std::string systemReg() const;

private:
    std::string dir_;
};

// The bytes of a host file ("" when it cannot be read).
std::string readHostFile(const std::string& path);
// Every path below `dir`, recursively.
std::set<std::string> listTree(const std::string& dir);

}  // namespace qu_test
