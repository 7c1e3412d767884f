/* SPDX-License-Identifier: MIT */
#include <kdx7400.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    puts(KDXIO_GetLibraryVersion());
    return strcmp(KDXIO_GetLibraryVersion(), "1.0.0") != 0;
}
