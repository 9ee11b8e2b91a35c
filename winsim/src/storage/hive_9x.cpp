#include "winsim/src/storage/hive_9x.h"

#include <libcreg.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "winsim/src/base/codepage.h"

namespace winsim {

namespace {

std::string takeError(libcreg_error_t** error) {
    std::string text = "unknown error";
    if (error && *error) {
        char buf[2048];
        if (libcreg_error_backtrace_sprint(*error, buf, sizeof buf) > 0) text = buf;
        libcreg_error_free(error);
    }
    return text;
}

struct Key {
    libcreg_key_t* k = nullptr;
    ~Key() {
        if (k) libcreg_key_free(&k, nullptr);
    }
};

std::string keyName(libcreg_key_t* key) {
    size_t size = 0;
    if (libcreg_key_get_utf8_name_size(key, &size, nullptr) != 1 || size == 0) return {};
    std::vector<uint8_t> buf(size);
    if (libcreg_key_get_utf8_name(key, buf.data(), size, nullptr) != 1) return {};
    return std::string(reinterpret_cast<const char*>(buf.data()));
}

class Reader {
public:
    explicit Reader(unsigned codePage) : codePage_(codePage) {}
    std::string failure;  // what libcreg said about the last failure

    bool values(libcreg_key_t* key, RegKey* into) {
        int count = 0;
        libcreg_error_t* e = nullptr;
        if (libcreg_key_get_number_of_values(key, &count, &e) != 1) return fail(&e);
        for (int i = 0; i < count; ++i) {
            libcreg_value_t* v = nullptr;
            if (libcreg_key_get_value_by_index(key, i, &v, &e) != 1) return fail(&e);
            std::string name;
            size_t size = 0;
            if (libcreg_value_get_utf8_name_size(v, &size, nullptr) == 1 && size > 0) {
                std::vector<uint8_t> buf(size);
                if (libcreg_value_get_utf8_name(v, buf.data(), size, nullptr) == 1) {
                    name = reinterpret_cast<const char*>(buf.data());
                }
            }
            uint32_t type = 0;
            size_t dataSize = 0;
            std::vector<uint8_t> data;
            bool ok = libcreg_value_get_value_type(v, &type, &e) == 1 &&
                      libcreg_value_get_value_data_size(v, &dataSize, &e) == 1;
            if (ok && dataSize > 0) {
                data.resize(dataSize);
                ok = libcreg_value_get_value_data(v, data.data(), dataSize, &e) == 1;
            }
            libcreg_value_free(&v, nullptr);
            if (!ok) return fail(&e);
            if (isStringType(type)) {
                const std::string text =
                    ansiToUtf8(codePage_, std::string(data.begin(), data.end()));
                data.assign(text.begin(), text.end());
            }
            into->setValue(name, type, std::move(data));
        }
        return true;
    }

    bool tree(libcreg_key_t* key, RegKey* into) {
        if (!values(key, into)) return false;
        int count = 0;
        libcreg_error_t* e = nullptr;
        if (libcreg_key_get_number_of_sub_keys(key, &count, &e) != 1) return fail(&e);
        for (int i = 0; i < count; ++i) {
            Key sub;
            if (libcreg_key_get_sub_key_by_index(key, i, &sub.k, &e) != 1) return fail(&e);
            const std::string name = keyName(sub.k);
            if (name.empty() || !tree(sub.k, into->createSubkey(name))) return false;
        }
        return true;
    }

private:
    bool fail(libcreg_error_t** e) {
        failure = takeError(e);
        return false;
    }
    unsigned codePage_;
};

// The key at `path` below the file's root: 1 found, 0 missing, -1 error.
int keyAt(libcreg_file_t* file, const std::string& path, Key* out, std::string* error) {
    libcreg_error_t* e = nullptr;
    const int r = libcreg_file_get_key_by_utf8_path(
        file, reinterpret_cast<const uint8_t*>(path.c_str()), path.size(), &out->k, &e);
    if (r < 0) *error = takeError(&e);
    return r < 0 ? -1 : r;
}

}  // namespace

bool loadWin9xHive(const std::string& path, Registry& registry, unsigned* codePageOut,
                   std::string* error) {
    libcreg_file_t* file = nullptr;
    libcreg_error_t* e = nullptr;
    if (libcreg_file_initialize(&file, &e) != 1) {
        *error = path + ": " + takeError(&e);
        return false;
    }
    std::unique_ptr<libcreg_file_t*, void (*)(libcreg_file_t**)> guard(
        &file, [](libcreg_file_t** f) {
            libcreg_file_close(*f, nullptr);
            libcreg_file_free(f, nullptr);
        });
    if (libcreg_file_open(file, path.c_str(), LIBCREG_OPEN_READ, &e) != 1) {
        *error = path + ": cannot be read as a Windows 98/ME registry file (" + takeError(&e) + ")";
        return false;
    }
    // The code page first: it decodes every other string.
    std::string why;
    unsigned codePage = 1252;
    {
        Key nls;
        const int r = keyAt(file, "System\\CurrentControlSet\\Control\\Nls\\CodePage", &nls, &why);
        if (r < 0) {
            *error = path + ": " + why;
            return false;
        }
        if (r == 1) {
            RegKey scratch;
            if (Reader(1252).values(nls.k, &scratch)) {
                if (const RegValue* acp = scratch.findValue("ACP")) {
                    const unsigned cp = static_cast<unsigned>(std::strtoul(
                        std::string(acp->data.begin(), acp->data.end()).c_str(), nullptr, 10));
                    if (codePageSupported(cp)) codePage = cp;
                }
            }
        }
    }
    *codePageOut = codePage;
    Reader reader(codePage);
    struct Part {
        const char* path;
        bool full;
    };
    const Part parts[] = {
        {"Enum", true},
        {"System\\CurrentControlSet\\Services", true},
        {"System\\CurrentControlSet\\Control\\DeviceClasses", true},
        {"System\\CurrentControlSet\\Control\\Nls\\CodePage", true},
        {"Software\\Microsoft\\Windows\\CurrentVersion", false},
    };
    RegKey* hklm = registry.localMachine.get();
    for (const Part& part : parts) {
        Key key;
        const int r = keyAt(file, part.path, &key, &why);
        if (r < 0) {
            *error = path + ": damaged below " + part.path + " (" + why + ")";
            return false;
        }
        if (r == 0) continue;
        RegKey* into = hklm;
        std::vector<std::string> names;
        splitKeyPath(part.path, &names);
        for (const auto& n : names) into = into->createSubkey(n);
        if (!(part.full ? reader.tree(key.k, into) : reader.values(key.k, into))) {
            *error = path + ": damaged below " + part.path + " (" + reader.failure + ")";
            return false;
        }
    }
    return true;
}

}  // namespace winsim
