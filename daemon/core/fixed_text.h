// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kdxd {

// Text built on the stack: what does not fit is cut, marked with "...".
template <std::size_t Capacity> class FixedText {
public:
    static_assert(Capacity >= 3);
    FixedText &operator<<(std::string_view text) {
        if (cut_) return *this;
        const std::size_t room = Capacity - size_;
        if (text.size() > room) {
            text = text.substr(0, room);
            cut_ = true;
        }
        text.copy(data_ + size_, text.size());
        size_ += text.size();
        if (cut_) std::string_view("...").copy(data_ + Capacity - 3, 3);
        return *this;
    }
    FixedText &operator<<(unsigned long long number);
    FixedText &hex(uint64_t value); // 0x and 16 digits, as the API shows masks
    std::string_view view() const { return std::string_view(data_, size_); }
    char *data() { return data_; }

private:
    char data_[Capacity];
    std::size_t size_ = 0;
    bool cut_ = false;
};

template <std::size_t Capacity> FixedText<Capacity> &FixedText<Capacity>::operator<<(unsigned long long number) {
    char digits[24];
    std::size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    return *this << std::string_view(digits + at, sizeof digits - at);
}

template <std::size_t Capacity> FixedText<Capacity> &FixedText<Capacity>::hex(uint64_t value) {
    char digits[18] = {'0', 'x'};
    for (int n = 0; n < 16; ++n) digits[2 + n] = "0123456789abcdef"[(value >> (60 - 4 * n)) & 0xf];
    return *this << std::string_view(digits, sizeof digits);
}

} // namespace kdxd
