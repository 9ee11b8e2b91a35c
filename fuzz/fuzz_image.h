// A machine image as one fuzzer input, and back.
//
// The input is a sequence of sections, each a header line starting with "@@"
// and the bytes up to the next line that starts with "@@":
//   @@commands                    line-mode commands (detect, select N, ...)
//   @@machine.ini                 the image's machine.ini
//   @@system.reg                  the image's system.reg
//   @@file C:\PATH                a file on the C: drive
//   @@rofile C:\PATH              the same, read-only
//   @@link C:\PATH TARGET         a symbolic link on the C: drive; TARGET is
//                                 one of the fixed words of kLinkTargets
//   @@refuse FUNCTION ERROR NTH   winsim::refuseCall(FUNCTION, ERROR, NTH)
// Text before the first header is ignored. The newline that ends a section
// belongs to the next header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qu_fuzz {

// Where a link may point: places outside drive_c/ that the run must leave
// alone, and the Windows directory itself.
//   canary      a directory beside the image
//   canaryfile  a file in it
//   image       the image directory
//   ini         the image's machine.ini
//   reg         the image's system.reg
//   windows     drive_c/WINDOWS
extern const char* const kLinkTargets[6];

struct FuzzImage {
    struct File {
        std::string cPath;
        std::string content;
        bool readOnly = false;
    };
    struct Link {
        std::string cPath;
        std::string target;  // one of kLinkTargets
    };
    struct Refusal {
        std::string function;
        uint32_t error = 0;
        unsigned nth = 0;
    };

    std::string commands;
    std::string machineIni;
    std::string systemReg;
    std::vector<File> files;
    std::vector<Link> links;
    std::vector<Refusal> refusals;
};

// Never fails: malformed headers are skipped.
FuzzImage parseFuzzImage(std::string_view bytes);
std::string serialiseFuzzImage(const FuzzImage& image);

// Reads a machine image directory (machine.ini, system.reg, every regular
// file under drive_c/) into `image`; false when machine.ini or system.reg
// cannot be read.
bool readImageDir(const std::string& dir, FuzzImage* image);

}  // namespace qu_fuzz
