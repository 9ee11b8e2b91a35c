#include "bench/detect.h"

#include "detection/device_catalogue.h"
#include "detection/device_installer.h"
#include "discovery/nt_discovery.h"

namespace qu_bench {

unsigned detectNt(int* lastFound) {
    char windowsDir[kPathBufferSize] = "C:\\WINDOWS";
    unsigned found = 0;
    if (lastFound) *lastFound = -1;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        DeviceRecord& record = deviceRecord(slot);
        if (probeDevice(networkClassGuid(), cataloguePattern(slot), record) &&
            discoverNtInstallation(slot, windowsDir, record)) {
            ++found;
            if (lastFound) *lastFound = slot;
        }
    }
    return found;
}

}  // namespace qu_bench
