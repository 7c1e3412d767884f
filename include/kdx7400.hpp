// SPDX-License-Identifier: MIT
// C++ API over the C interface of kdx7400.h, header-only; C++17 or later.
// InputWatcher runs a thread: link with the threads library (-pthread).
//
// Ownership: a kdx::Module owns one open module (one slot of the C table)
// from open to destruction or close(); it is move-only. Nothing else here
// owns anything: DeviceInfo values are plain copies.
//
// Errors: every operation that can fail comes twice. The plain form throws
// kdx::Error (a std::system_error whose code belongs to kdx::category());
// the form taking std::error_code& is noexcept and sets the code instead,
// as std::filesystem does. Using a closed or moved-from Module throws
// std::logic_error (the noexcept form reports errc::not_open).
//
// Threads and processes: as the C library's (kdx7400.h): a Module may be
// shared by threads, every call is serialised on the module, and writes
// hold the module against other processes. lock() groups calls into one
// step that no other thread or process interleaves.
//
// Channels and mask bits beyond the module's channel counts are refused
// (errc::invalid_param) before anything is sent, by the C library's
// KDX7400_CheckMask and KDX7400_CheckChannel.
//
// One header per class under kdx7400/, all included here, as gpiod.hpp does.
#pragma once

#include "kdx7400/error.hpp"
#include "kdx7400/input_watcher.hpp"
#include "kdx7400/listing.hpp"
#include "kdx7400/module.hpp"
