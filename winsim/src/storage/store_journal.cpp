#include "winsim/src/storage/store_journal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "winsim/src/base/posix_file.h"
#include "winsim/src/storage/store.h"

namespace winsim {

const char kNewInfix[] = ".new-";
const char kJournalInfix[] = ".journal-";

namespace {

const char kJournalMagic[] = "quorvane-uninstall journal 2";
// Written by earlier versions for system.reg alone ("base" and "new" lines).
const char kJournalMagic1[] = "quorvane-uninstall journal 1";

std::string hex64(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

bool parseHex64(const std::string& s, uint64_t* v) {
    if (s.size() != 16 || s.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return false;
    }
    *v = std::strtoull(s.c_str(), nullptr, 16);
    return true;
}

std::string octal(unsigned mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        const size_t sp = line.find(' ', i);
        const size_t end = sp == std::string::npos ? line.size() : sp;
        w.push_back(line.substr(i, end - i));
        i = end + 1;
    }
    return w;
}

bool parseNumber(const std::string& s, uint64_t* v) {
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *v = std::strtoull(s.c_str(), nullptr, 10);
    return true;
}

}  // namespace

// Journal paths: bytes outside printable ASCII, '%' and space as %XX.
std::string escapePath(const std::string& p) {
    std::string out;
    for (unsigned char c : p) {
        if (c <= 0x20 || c >= 0x7f || c == '%') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool unescapePath(const std::string& s, std::string* out) {
    out->clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            *out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return false;
        const std::string h = s.substr(i + 1, 2);
        if (h.find_first_not_of("0123456789ABCDEF") != std::string::npos) return false;
        *out += static_cast<char>(std::strtoul(h.c_str(), nullptr, 16));
        i += 2;
    }
    return true;
}

std::string journalText(const Journal& j) {
    std::string t = std::string(kJournalMagic) + "\n";
    for (const JournalFile& f : j.files) {
        t += "reg " + escapePath(f.name) + " " + std::to_string(f.baseSize) + " " +
             hex64(f.baseHash) + " " + escapePath(f.newName) + " " + std::to_string(f.newSize) +
             " " + hex64(f.newHash) + "\n";
    }
    for (const FileOp& op : j.ops) {
        if (op.kind == FileOp::Mode) {
            t += "mode " + octal(op.mode) + " " + escapePath(op.relative) + "\n";
        } else if (op.kind == FileOp::Publish) {
            t += "publish " + escapePath(op.source) + " " + escapePath(op.relative) + "\n";
        } else if (op.kind == FileOp::Restore) {
            t += "restore " + octal(op.mode) + " " + escapePath(op.relative) + " " +
                 escapePath(op.source) + "\n";
        } else {
            t += "delete " + escapePath(op.relative) + "\n";
        }
    }
    t += "end " + hex64(contentHash(t)) + "\n";
    return t;
}

bool newNameFor(const std::string& registryFile, const std::string& name) {
    return name.rfind(registryFile + kNewInfix, 0) == 0 && name.find('/') == std::string::npos;
}

bool parseJournal(const std::string& text, const std::vector<std::string>& registryFiles,
                  Journal* j) {
    if (text.empty() || text.back() != '\n') return false;
    const size_t endAt = text.rfind("end ", text.size() - 1);
    if (endAt == std::string::npos || (endAt > 0 && text[endAt - 1] != '\n')) return false;
    uint64_t sum = 0;
    if (!parseHex64(text.substr(endAt + 4, text.size() - endAt - 5), &sum)) return false;
    if (contentHash(text.data(), endAt) != sum) return false;
    size_t pos = 0;
    bool first = true, version1 = false, haveBase = false, haveNew = false;
    JournalFile old;
    old.name = "system.reg";
    auto known = [&](const std::string& name) {
        return std::find(registryFiles.begin(), registryFiles.end(), name) != registryFiles.end();
    };
    while (pos < endAt) {
        const size_t nl = text.find('\n', pos);
        const std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (first) {
            if (line != kJournalMagic && line != kJournalMagic1) return false;
            version1 = line == kJournalMagic1;
            first = false;
            continue;
        }
        const std::vector<std::string> w = words(line);
        if (w.size() == 7 && w[0] == "reg" && !version1) {
            JournalFile f;
            if (!unescapePath(w[1], &f.name) || !unescapePath(w[4], &f.newName) || !known(f.name) ||
                !newNameFor(f.name, f.newName) || !parseNumber(w[2], &f.baseSize) ||
                !parseHex64(w[3], &f.baseHash) || !parseNumber(w[5], &f.newSize) ||
                !parseHex64(w[6], &f.newHash)) {
                return false;
            }
            j->files.push_back(f);
        } else if (w.size() == 3 && w[0] == "base" && version1) {
            haveBase = parseNumber(w[1], &old.baseSize) && parseHex64(w[2], &old.baseHash);
        } else if (w.size() == 2 && w[0] == "new" && w[1] == "-" && version1) {
            haveNew = true;
        } else if (w.size() == 4 && w[0] == "new" && version1) {
            if (!known(old.name) || !newNameFor(old.name, w[1])) return false;
            old.newName = w[1];
            haveNew = parseNumber(w[2], &old.newSize) && parseHex64(w[3], &old.newHash);
        } else if (w.size() == 3 && w[0] == "mode") {
            FileOp op;
            op.kind = FileOp::Mode;
            op.mode = static_cast<unsigned>(std::strtoul(w[1].c_str(), nullptr, 8)) & 07777;
            if (!unescapePath(w[2], &op.relative)) return false;
            j->ops.push_back(op);
        } else if (w.size() == 4 && w[0] == "restore") {
            FileOp op;
            op.kind = FileOp::Restore;
            op.mode = static_cast<unsigned>(std::strtoul(w[1].c_str(), nullptr, 8)) & 07777;
            if (!unescapePath(w[2], &op.relative) || !unescapePath(w[3], &op.source)) return false;
            j->ops.push_back(op);
        } else if (w.size() == 3 && w[0] == "publish") {
            FileOp op;
            op.kind = FileOp::Publish;
            if (!unescapePath(w[1], &op.source) || !unescapePath(w[2], &op.relative)) return false;
            j->ops.push_back(op);
        } else if (w.size() == 2 && w[0] == "delete") {
            FileOp op;
            op.kind = FileOp::Delete;
            if (!unescapePath(w[1], &op.relative)) return false;
            j->ops.push_back(op);
        } else {
            return false;
        }
    }
    if (version1) {
        if (!haveBase || !haveNew) return false;
        if (!old.newName.empty()) j->files.push_back(old);
    }
    return true;
}
}  // namespace winsim
