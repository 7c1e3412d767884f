// SPDX-License-Identifier: MIT
// Opening and closing again and again leaves the process as it was.
// KDX7400_SOAK_CYCLES sets the count (CI: 10^4; scripts/soak: 10^5).
#include "support.h"

#include <cstdlib>
#include <filesystem>

namespace {

using namespace kdxtest;

int process_descriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

class Soak : public ModuleTest {};

TEST_F(Soak, OpenAndCloseCyclesLeaveNoDescriptorBehind) {
    const char *chosen = std::getenv("KDX7400_SOAK_CYCLES");
    const long cycles = chosen != nullptr ? std::atol(chosen) : 10000;
    bed.add_module({});
    VirtualModule other;
    other.product_id = 0x7402;
    bed.add_module(other);
    // One cycle first: the simulator keeps its testbed's lock and log open.
    ASSERT_EQ(KDX7400_OpenDevice(0x7401, 0), 0);
    ASSERT_EQ(KDX7400_CloseDevice(0), RESULT_OK);
    const int before = process_descriptors();
    for (long i = 0; i < cycles; ++i) {
        const int32_t index = KDX7400_OpenDevice(0x7401, 0);
        ASSERT_EQ(index, 0) << "cycle " << i;
        ASSERT_EQ(KDX7400_CloseDevice(index), RESULT_OK);
        // Every kind of failed open between them: nothing found, bad
        // board ID, a node that is no module, a bad path.
        if (i % 100 == 0) {
            ASSERT_EQ(KDX7400_OpenDevice(0x7401, 9), OPEN_NOT_FOUND);
            ASSERT_EQ(KDX7400_OpenDevice(0x7401, 16), OPEN_BAD_BOARD_ID);
            ASSERT_EQ(KDX7400_OpenDevicePath("sg9"), OPEN_NOT_FOUND);
            ASSERT_EQ(KDX7400_OpenDevicePath("sda"), OPEN_BAD_PATH);
            bed.clear_commands(); // keep the command log small
        }
    }
    EXPECT_EQ(process_descriptors(), before);
    EXPECT_EQ(bed.open_node_descriptors(), 0);
}

} // namespace
