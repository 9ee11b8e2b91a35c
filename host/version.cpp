#include "host/version.h"

#include "detection/device_catalogue.h"

#ifndef QU_PRODUCT_VERSION
#error "QU_PRODUCT_VERSION must be defined by the build"
#endif
#ifndef QU_REVISION
#define QU_REVISION "unknown"
#endif

namespace {

// As the version resource of the exe names the product.
const char kProductName[] = "Quorvane USB Miniport Driver Uninstall Utility";

}  // namespace

std::string versionLine() {
    const std::string revision = QU_REVISION;
    return std::string(kProductName) + " " + QU_PRODUCT_VERSION + " (revision " +
           (revision.empty() ? std::string("unknown") : revision) + ")";
}

std::string supportedList() {
    std::string list;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        list += cataloguePattern(slot);
        list += '\n';
    }
    return list;
}
