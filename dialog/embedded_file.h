// A file compiled into the program (resource sources on the host, the
// default machine image): its relative name with forward slashes, and bytes.
#pragma once

#include <cstddef>

struct EmbeddedFile {
    const char* name;
    const unsigned char* data;
    std::size_t size;
};

// The resource script, resource.h and every file it references.
namespace dialog_resources {
extern const EmbeddedFile kFiles[];
extern const std::size_t kFileCount;
}  // namespace dialog_resources
