// SPDX-License-Identifier: MIT
#include <kdx7400.hpp>

#include <iostream>

int main() {
    std::error_code code;
    kdx::Module module = kdx::Module::open(0x7401, 3, code);
    std::cout << KDXIO_GetLibraryVersion() << " " << code.category().name() << "\n";
    return code == kdx::errc::not_found && !module ? 0 : 1;
}
