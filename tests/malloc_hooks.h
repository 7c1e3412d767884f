// SPDX-License-Identifier: MIT
// malloc, calloc and realloc in front of libc's own, each telling
// malloc_hooks::note_allocation() first. Include it from exactly one file
// of a program or preload library, which defines note_allocation().
#pragma once

#include <cstddef>
#include <cstdlib> // libc's declarations first, so that ours match their noexcept

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace malloc_hooks {
void note_allocation();
} // namespace malloc_hooks

extern "C" void *malloc(size_t size) {
    malloc_hooks::note_allocation();
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
    malloc_hooks::note_allocation();
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *old, size_t size) {
    malloc_hooks::note_allocation();
    return __libc_realloc(old, size);
}
