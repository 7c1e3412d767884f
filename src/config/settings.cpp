// SPDX-License-Identifier: MIT
// One-byte settings and the three trigger commands.
#include "../internal.h"

namespace kdx {

namespace {

// The frame-rate factor has no open test: a free slot's fd of -1 makes
// the transfer itself fail.
Result read_optional(int32_t fd, uint32_t lba, uint8_t *out) {
    uint8_t value = 0;
    if (const Result result = read_byte(fd, lba, Reply::Accept, value)) {
        return result;
    }
    if (out != nullptr) {
        *out = value;
    }
    return RESULT_OK;
}

} // namespace

} // namespace kdx

extern "C" {

int16_t KDX7400_SetWriteProtect(int32_t index, uint8_t protect) {
    return kdx::set_byte_register(index, LBA_WRITE_PROTECT, protect != 0 ? 1 : 0);
}

int16_t KDX7400_GetWriteProtect(int32_t index, uint8_t *protect) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    return kdx::read_optional(hold.fd(), LBA_WRITE_PROTECT, protect);
}

int16_t KDX7400_SetFrameRateFactor(int32_t index, uint8_t factor) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take_slot(index, kdx::Access::Write)) {
        return result;
    }
    return kdx::write_byte(hold.fd(), LBA_FRAME_RATE_FACTOR, factor);
}

int16_t KDX7400_GetFrameRateFactor(int32_t index, uint8_t *factor) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take_slot(index, kdx::Access::Read)) {
        return result;
    }
    return kdx::read_optional(hold.fd(), LBA_FRAME_RATE_FACTOR, factor);
}

int16_t KDX7400_LoadDefault(int32_t index) { return kdx::set_byte_register(index, LBA_LOAD_DEFAULT, TRIGGER_BYTE); }

int16_t KDX7400_SYNCDevice(int32_t index) { return kdx::set_byte_register(index, LBA_SYNC, TRIGGER_BYTE); }

int16_t KDX7400_ForceReset(int32_t index) { return kdx::set_byte_register(index, LBA_FORCE_RESET, TRIGGER_BYTE); }

int16_t setopcode(int32_t index, uint8_t opcode) {
    return kdx::set_byte_register(index, LBA_OPCODE, opcode);
}

int16_t getopcode(int32_t index, uint8_t *opcode) {
    return kdx::get_byte_register(index, LBA_OPCODE, kdx::Reply::Validate, opcode);
}

} // extern "C"
