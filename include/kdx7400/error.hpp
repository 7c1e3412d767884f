// SPDX-License-Identifier: MIT
// kdx::errc, kdx::category() and kdx::Error: how the C++ API reports what
// the C library's results and open codes say. Part of kdx7400.hpp.
#pragma once

#include "../kdx7400.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

namespace kdx {

// Codes of kdx::category(): the RESULT_* codes as they are, and the
// negative results of opening shifted to 100 + |result|.
enum class errc : int {
    ok = RESULT_OK,
    opendir_failed = RESULT_OPENDIR_FAILED,
    not_open = RESULT_NOT_OPEN,
    null_module = RESULT_NULL_MODULE,
    bad_header = RESULT_BAD_HEADER,
    write_failed = RESULT_WRITE_FAILED,
    read_failed = RESULT_READ_FAILED,
    invalid_param = RESULT_INVALID_PARAM,
    bad_index = RESULT_BAD_INDEX,
    buffer_too_small = RESULT_BUFFER_TOO_SMALL,
    busy = RESULT_BUSY,
    not_found = 100 - OPEN_NOT_FOUND,
    table_full = 100 - OPEN_TABLE_FULL,
    bad_board_id = 100 - OPEN_BAD_BOARD_ID,
    bad_path = 100 - OPEN_BAD_PATH,
    permission_denied = 100 - OPEN_PERMISSION_DENIED,
};

namespace detail {

class Category final : public std::error_category {
public:
    const char *name() const noexcept override { return "kdx7400"; }
    std::string message(int value) const override {
        return value >= 100 ? KDXIO_GetOpenResultString(100 - value) : KDXIO_GetResultString(value);
    }
};

} // namespace detail

inline const std::error_category &category() noexcept {
    static const detail::Category instance;
    return instance;
}

inline std::error_code make_error_code(errc code) noexcept {
    return {static_cast<int>(code), category()};
}

} // namespace kdx

namespace std {
template <> struct is_error_code_enum<kdx::errc> : true_type {};
} // namespace std

namespace kdx {

// What every failure throws: the code, and what was being done.
class Error : public std::system_error {
public:
    Error(std::error_code code, const std::string &operation) : std::system_error(code, operation) {}
};

namespace detail {

inline std::error_code result_code(int16_t result) noexcept {
    return result == RESULT_OK ? std::error_code{} : std::error_code{result, category()};
}

// The C library sets errno on every failed open, and says what it means.
inline std::error_code open_code(int32_t result) noexcept {
    return std::error_code{100 - KDX7400_WhyOpenFailed(result, errno), category()};
}

inline void throw_if(const std::error_code &code, const char *operation) {
    if (code) {
        throw Error(code, operation);
    }
}
} // namespace detail

} // namespace kdx
