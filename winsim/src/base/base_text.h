// The bytes of the .reg file an image was loaded from, as the registry keeps
// them for the whole run (the exact save patches them, values are read from
// them on first use).
//
// They are either held in memory of their own or, for a large image, the
// file's pages themselves: a read-only private mapping guarded by a read
// lease. Nothing can change a guarded file under the mapping: a process that
// opens it for writing or truncates it is held by the kernel until the lease
// is given up, and the lease break's signal first puts a private copy of the
// bytes in the mapping's place (same address, same bytes), so the text seen
// through data() never changes while it is held. A lease the kernel ended
// without that copy (see lost()) leaves zeros, never the changed file. Where no lease can be taken
// (a file open for writing elsewhere, another owner, a file system without
// leases) the bytes are read into memory as before.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace winsim {

// Installs the handler of the lease signal (once); false when it cannot be.
// A lease taken without it would end the process at its first break.
bool leaseSignalHandled();

// A thread running `work`, with the lease signal blocked: the guards are
// read by the thread that holds that signal off meanwhile, so it must never
// be taken by another.
std::thread inBackground(std::function<void()> work);

class BaseText {
public:
    BaseText() = default;
    explicit BaseText(std::string bytes) : owned_(std::move(bytes)) {}
    BaseText(BaseText&& o) noexcept { *this = std::move(o); }
    BaseText& operator=(BaseText&& o) noexcept;
    BaseText& operator=(std::string bytes) {
        release();
        owned_ = std::move(bytes);
        return *this;
    }
    BaseText(const BaseText&) = delete;
    BaseText& operator=(const BaseText&) = delete;
    ~BaseText() { release(); }

    // Maps the first `size` bytes of the regular file open on `fd` (read
    // only) and guards them with a read lease, taking `fd` over. False (fd
    // left open, this unchanged) when the file cannot be guarded or mapped,
    // or its size is not `size`: the caller reads it instead.
    bool mapGuarded(int fd, size_t size);

    const char* data() const { return map_ ? map_ : owned_.data(); }
    size_t size() const { return map_ ? mapSize_ : owned_.size(); }
    bool empty() const { return size() == 0; }
    char operator[](size_t at) const { return data()[at]; }
    std::string_view view() const { return std::string_view(data(), size()); }
    operator std::string_view() const { return view(); }
    std::string str() const { return std::string(data(), size()); }
    void clear() {
        release();
        owned_.clear();
        owned_.shrink_to_fit();
    }

    // True while the bytes are the file's own pages (no lease break yet).
    bool mappedFromFile() const;
    // True when the lease ended before the bytes were copied (the process
    // was stopped past the kernel's lease-break time) and the file changed
    // meanwhile: the bytes read as zeros from then on, never as the changed
    // file, and nothing may be committed on the strength of them.
    bool lost() const;
    // True when the bytes are still the pages of the file `dev`/`ino` under
    // a read lease that is neither broken nor being broken, and the file has
    // the size and modification time it had when the lease was taken: nothing
    // has written the file since (a writer's open or truncation breaks the
    // lease before it can change a byte). False on any doubt.
    bool guardsFile(dev_t dev, ino_t ino) const;

private:
    void release();

    std::string owned_;
    const char* map_ = nullptr;  // the mapping, or nullptr for owned_
    size_t mapSize_ = 0;
    int slot_ = -1;  // the guard of the mapping
};

}  // namespace winsim
