// Host side of the conformance fixture: a machine image holding the state.
#include "tests/conformance/fixture.h"

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/user.h"

#include <fstream>
#include <sstream>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace conformance {

namespace {

std::unique_ptr<qu_test::TempImage> g_image;

}  // namespace

bool setUpFixture(char* error, std::size_t size) {
    g_image = std::make_unique<qu_test::TempImage>("nt", "5.1.2600", "C:\\WINDOWS");
    // Subkeys in the order the Windows fixture creates them.
    g_image->reg(
        "[HKEY_LOCAL_MACHINE\\Software\\QuConformance]\r\n"
        "\"Text\"=\"hello world\"\r\n"
        "\"Number\"=dword:12345678\r\n"
        "\"Multi\"=hex(7):61,00,62,63,00,00\r\n"
        "\"Empty\"=\"\"\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QuConformance\\Gamma]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QuConformance\\Gamma\\Leaf]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QuConformance\\beta]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\QuConformance\\Alpha]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\Root\\QUCONF\\0000]\r\n"
        "\"ClassGUID\"=\"{5A2B6C1E-3D4F-4E8A-9B0C-1D2E3F405162}\"\r\n"
        "\"DeviceDesc\"=\"Conformance device\"\r\n"
        // "QUCONF_HW", "QUCONF_ANY"
        "\"HardwareID\"=hex(7):51,55,43,4f,4e,46,5f,48,57,00,51,55,43,4f,4e,46,5f,41,4e,59,00,"
        "00\r\n");
    g_image->file("C:\\WINDOWS\\QuConf\\plain.txt", "abc");
    g_image->file("C:\\WINDOWS\\QuConf\\readonly.txt", "r", true);
    std::ifstream rc(QU_CONFORMANCE_RC, std::ios::binary);
    std::ostringstream rcText;
    rcText << rc.rdbuf();
    std::string rcError;
    winsim::ui::resetWindowSystem();
    if (!winsim::ui::loadResources({{"conformance.rc", rcText.str()}}, "conformance.rc",
                                   &rcError)) {
        std::snprintf(error, size, "conformance.rc: %s", rcError.c_str());
        return false;
    }
    try {
        g_image->load();
    } catch (const std::runtime_error& e) {
        std::snprintf(error, size, "%s", e.what());
        return false;
    }
    return true;
}

void tearDownFixture() {
    winsim::ui::resetWindowSystem();
    winsim::unloadMachine();
    g_image.reset();
}

const char* fixtureDir() { return "C:\\WINDOWS\\QuConf"; }

}  // namespace conformance
