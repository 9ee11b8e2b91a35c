// The conformance tests of the simulated machine: the same checks run on the
// host against the simulation, and as a MinGW exe on Windows or under Wine.
// Prints every failure and a closing line
//   "conformance: N checks, F failed, T todo (known differences from Windows), P todo passed"
// and exits with 1 when a check failed (or the fixture could not be made).
#include <cstdio>

#include "tests/conformance/check.h"
#include "tests/conformance/fixture.h"

int main() {
    char error[512] = "";
    if (!conformance::setUpFixture(error, sizeof error)) {
        std::printf("conformance: fixture failed: %s\n", error);
        return 1;
    }
    conformance::registryChecks();
    conformance::kernelChecks();
    conformance::setupApiChecks();
    conformance::windowChecks();
    conformance::tearDownFixture();
    const conformance::Counts& c = conformance::counts();
    std::printf(
        "conformance: %d checks, %d failed, %d todo (known differences from Windows), %d todo "
        "passed%s\n",
        c.run, c.failed, c.todo, c.todoPassed, conformance::onWine() ? " [Wine]" : "");
    return c.failed == 0 ? 0 : 1;
}
