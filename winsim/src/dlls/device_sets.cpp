#include "winsim/src/dlls/device_sets.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "winsim/src/dlls/calls.h"

namespace winsim {
namespace {

const char kNtEnum[] = "System\\CurrentControlSet\\Enum";
const char k9xEnum[] = "Enum";

std::map<HDEVINFO, std::unique_ptr<DeviceSet>> g_sets;

// Folded instance ID -> DevInst, for every instance a set met: slots found
// by the ID's hash, the IDs one after another in one buffer, so that a set
// of every device adds 100,000 of them without a string or a node each.
class DevInsts {
public:
    DWORD of(std::string_view fold) {
        if ((count_ + 1) * 2 > slots_.size()) grow(count_ + 1);
        const uint64_t hash = hashOf(fold);
        size_t at = hash & (slots_.size() - 1);
        for (; slots_[at].devInst != 0; at = (at + 1) & (slots_.size() - 1)) {
            const Slot& slot = slots_[at];
            if (slot.hash == hash && slot.length == fold.size() &&
                std::memcmp(ids_.data() + slot.offset, fold.data(), fold.size()) == 0) {
                return slot.devInst;
            }
        }
        slots_[at] = Slot{hash, ids_.size(), fold.size(), ++count_};
        ids_.append(fold);
        return count_;
    }
    // Room for `more` DevInsts, made at once.
    void reserve(size_t more) { grow(count_ + more); }

private:
    struct Slot {
        uint64_t hash = 0;
        size_t offset = 0, length = 0;
        DWORD devInst = 0;  // 0: a free slot
    };
    // Eight bytes at a time (an ID runs to 40 bytes and more), each word
    // mixed in by a multiplication, the bytes left as one more word.
    static uint64_t hashOf(std::string_view s) {
        uint64_t hash = 14695981039346656037ull ^ s.size();
        size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            uint64_t word;
            std::memcpy(&word, s.data() + i, 8);
            hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
            hash ^= hash >> 29;
        }
        uint64_t rest = 0;
        if (i < s.size()) std::memcpy(&rest, s.data() + i, s.size() - i);
        hash = (hash ^ rest) * 0x9E3779B97F4A7C15ull;
        return hash ^ (hash >> 32);
    }
    void grow(size_t count) {
        if (!slots_.empty() && count * 2 <= slots_.size()) return;
        size_t size = slots_.empty() ? 64 : slots_.size() * 2;
        while (count * 2 > size) size *= 2;
        std::vector<Slot> old(size);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (slot.devInst == 0) continue;
            size_t at = slot.hash & (slots_.size() - 1);
            while (slots_[at].devInst != 0) at = (at + 1) & (slots_.size() - 1);
            slots_[at] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::string ids_;
    DWORD count_ = 0;
};
DevInsts g_devInsts;

// The set's device that `data` describes; sets the error when there is none.
Device* deviceOf(DeviceSet* set, PSP_DEVINFO_DATA data, DWORD* error) {
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        *error = ERROR_INVALID_USER_BUFFER;
        return nullptr;
    }
    if (Device* d = set->find(data->DevInst, data->Reserved)) return d;
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
}

}  // namespace

std::string_view TextBlocks::add(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (const std::string_view part : parts) size += part.size();
    if (blocks_.empty() || used_ + size > blockSize_) {
        blockSize_ = std::max<size_t>(kBlock, size);
        blocks_.push_back(std::make_unique<char[]>(blockSize_));
        used_ = 0;
    }
    char* const begin = blocks_.back().get() + used_;
    char* out = begin;
    for (const std::string_view part : parts) {
        std::memcpy(out, part.data(), part.size());
        out += part.size();
    }
    used_ += size;
    return std::string_view(begin, size);
}

Device* DeviceSet::find(DWORD devInst, ULONG_PTR member) {
    if (member > 0 && member <= devices.size() && devices[member - 1].devInst == devInst) {
        return &devices[member - 1];
    }
    if (byDevInst.empty()) {
        for (size_t i = devices.size(); i-- > 0;) byDevInst[devices[i].devInst] = i;
    }
    auto it = byDevInst.find(devInst);
    return it == byDevInst.end() ? nullptr : &devices[it->second];
}

HDEVINFO keepDeviceSet(std::unique_ptr<DeviceSet> set) {
    HDEVINFO h = set.get();
    g_sets[h] = std::move(set);
    return h;
}

DeviceSet* setOf(HDEVINFO h) {
    auto it = g_sets.find(h);
    return it == g_sets.end() ? nullptr : it->second.get();
}

bool destroyDeviceSet(HDEVINFO h) { return g_sets.erase(h) != 0; }

void dropDeviceSets() { g_sets.clear(); }

unsigned openDeviceSets() { return static_cast<unsigned>(g_sets.size()); }

DWORD devInstOf(std::string_view fold) { return g_devInsts.of(fold); }

void expectDevInsts(size_t more) { g_devInsts.reserve(more); }

const char* enumRoot(const Machine& m) { return m.platform == Platform::Nt ? kNtEnum : k9xEnum; }

RegKey* instanceKey(const Machine& m, const Device& d) {
    if (!d.key.expired() && !d.at->deleted) return d.at;
    return findKeyPath(m.registry.localMachine.get(),
                       std::string(enumRoot(m)) + "\\" + std::string(d.instanceId));
}

DWORD startDeviceCall(HDEVINFO h, PSP_DEVINFO_DATA data, bool deviceOptional, DeviceCall* call) {
    call->machine = currentMachine();
    call->set = setOf(h);
    call->device = nullptr;
    if (!call->machine || !call->set) return ERROR_INVALID_HANDLE;
    if (!data && deviceOptional) return 0;
    DWORD error = 0;
    call->device = deviceOf(call->set, data, &error);
    return error;
}

std::string deviceForLog(HDEVINFO h, PSP_DEVINFO_DATA data) {
    DeviceSet* set = setOf(h);
    if (!set) return "<invalid set>";
    if (!data) return "<no device>";
    const Device* d = data->cbSize == sizeof(SP_DEVINFO_DATA)
                          ? set->find(data->DevInst, data->Reserved)
                          : nullptr;
    return d ? std::string(d->instanceId) : "<unknown device>";
}

std::string_view textOf(const RegValue* v) {
    if (!v || !isStringType(v->type)) return {};
    const std::string_view s(reinterpret_cast<const char*>(v->data.data()), v->data.size());
    return s.substr(0, s.find('\0'));
}

BOOL succeed() {
    SetLastError(NO_ERROR);
    return TRUE;
}

}  // namespace winsim
