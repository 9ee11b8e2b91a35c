// The .rc subset the window system reads: #include/#define/#if of the
// headers, DIALOG and DIALOGEX templates, STRINGTABLE, ICON and BITMAP
// files. VERSIONINFO, manifests and other resource types are skipped.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "winsim/user.h"

namespace winsim::ui::detail {

// A resource name: a 16-bit number or an upper-cased string.
struct ResName {
    bool numeric = true;
    uint16_t id = 0;
    std::string name;

    std::string str() const { return numeric ? std::to_string(id) : name; }
    // As the API's LPCSTR: MAKEINTRESOURCEA(n) or a name (case-insensitive).
    bool matches(const char* resource) const;
    bool operator==(const ResName& other) const {
        return numeric == other.numeric && id == other.id && name == other.name;
    }
};

struct ControlTemplate {
    std::string className;  // "Button", "Static", "Edit", "ComboBox", ... or as written
    std::string text;
    bool hasImage = false;  // the text is a resource name (ICON statement, CONTROL 129, ...)
    ResName image;
    int id = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    std::string file;  // where the statement is
    int line = 0;
};

struct DialogTemplate {
    ResName name;
    bool extended = false;
    int x = 0, y = 0, cx = 0, cy = 0;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    std::string caption;
    std::string fontName;
    int fontSize = 0;
    std::vector<ControlTemplate> controls;
};

struct ImageResource {
    ResName name;
    std::string file;  // as the .rc names it
    std::string bytes;
};

struct ResourceSet {
    std::vector<DialogTemplate> dialogs;
    std::map<uint16_t, std::string> strings;
    std::vector<ImageResource> icons;
    std::vector<ImageResource> bitmaps;

    const DialogTemplate* findDialog(const char* name) const;
    const ImageResource* findIcon(const ResName& name) const;
    const ImageResource* findBitmap(const ResName& name) const;
};

// Parses `rcName` among `files`. On failure returns false with
// "file(line): message" in `error`.
bool parseResources(const std::vector<ResourceFile>& files, const std::string& rcName,
                    ResourceSet* out, std::string* error);

}  // namespace winsim::ui::detail
