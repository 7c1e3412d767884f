/* SPDX-License-Identifier: MIT */
/* One open by IDs and its close: the open-cost benchmark runs this against
 * testbeds with more and more foreign sg nodes before the module. */
#include <kdx7400.h>

int main(void) {
    const int32_t module = KDX7400_OpenDevice(0x7401, 0);
    if (module < 0) {
        return 1;
    }
    KDX7400_CloseDevice(module);
    return 0;
}
