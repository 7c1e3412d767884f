// SPDX-License-Identifier: MIT
// Moving one register block: the transfer-length judgement and the reply
// magic check that every register operation shares.
#include "../internal.h"

namespace kdx {

Result read_block(int32_t fd, uint32_t lba, std::span<uint8_t> block, Reply reply) {
    const auto length = static_cast<uint32_t>(block.size());
    if (block_transfer(fd, true, lba, block.data(), length, residue_of(fd)) != static_cast<int32_t>(length)) {
        return RESULT_READ_FAILED;
    }
    if (reply == Reply::Validate && !has_magic(block)) {
        return RESULT_BAD_HEADER;
    }
    return RESULT_OK;
}

Result write_block(int32_t fd, uint32_t lba, std::span<const uint8_t> block) {
    const auto length = static_cast<uint32_t>(block.size());
    // The driver only reads from a to-device buffer.
    if (block_transfer(fd, false, lba, const_cast<uint8_t *>(block.data()), length, residue_of(fd)) !=
        static_cast<int32_t>(length)) {
        return RESULT_WRITE_FAILED;
    }
    return RESULT_OK;
}

} // namespace kdx

namespace kdx {

Result write_byte(int32_t fd, uint32_t lba, uint8_t value) {
    auto block = new_block<kByteBlock>();
    block[kPayload] = value;
    return write_block(fd, lba, block);
}

Result read_byte(int32_t fd, uint32_t lba, Reply reply, uint8_t &value) {
    std::array<uint8_t, kByteBlock> block{};
    if (const Result result = read_block(fd, lba, block, reply)) {
        return result;
    }
    value = block[kPayload];
    return RESULT_OK;
}

Result set_byte_register(int32_t index, uint32_t lba, uint8_t value) {
    Hold hold;
    if (const Result result = hold.take(index, Access::Write)) {
        return result;
    }
    return write_byte(hold.fd(), lba, value);
}

Result get_byte_register(int32_t index, uint32_t lba, Reply reply, uint8_t *value) {
    Hold hold;
    if (const Result result = hold.take(index, Access::Read)) {
        return result;
    }
    if (value == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    return read_byte(hold.fd(), lba, reply, *value);
}

} // namespace kdx
