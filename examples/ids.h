// SPDX-License-Identifier: MIT
/* Shared by the C and C++ examples: the module's IDs as kdxio and the
 * listing write them. The product ID is hexadecimal, with or without 0x
 * (7401); the board ID is its hex digit (A) or 0 to 15 in decimal ("010"
 * is ten, never octal eight). Anything else is refused, never cut to fit:
 * 259 is no board 3. */
#ifndef KDX7400_EXAMPLE_IDS_H
#define KDX7400_EXAMPLE_IDS_H

#include <stdint.h>
#include <string.h>

static inline int example_digit(char c, int base) {
    const int value = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : 99;
    return value < base ? value : -1;
}

/* Digits of base only, at least one and at most max: 1 with *value set, or 0. */
static inline int example_number(const char *text, int base, unsigned long max, unsigned long *value) {
    unsigned long sum = 0;
    if (*text == '\0') return 0;
    for (; *text != '\0'; ++text) {
        const int digit = example_digit(*text, base);
        if (digit < 0) return 0;
        sum = sum * (unsigned long)base + (unsigned long)digit;
        if (sum > max) return 0;
    }
    *value = sum;
    return 1;
}

/* 1 with both IDs set, or 0 when either text is not one. */
static inline int example_parse_ids(const char *pid_text, const char *bid_text, uint16_t *pid, uint8_t *bid) {
    unsigned long product = 0, board = 0;
    if (strncmp(pid_text, "0x", 2) == 0 || strncmp(pid_text, "0X", 2) == 0) pid_text += 2;
    if (!example_number(pid_text, 16, 0xFFFF, &product)) return 0;
    if (!example_number(bid_text, strlen(bid_text) == 1 ? 16 : 10, 15, &board)) return 0;
    *pid = (uint16_t)product;
    *bid = (uint8_t)board;
    return 1;
}

/* The optional COUNT after the IDs: decimal digits, 0 (or none) for ever;
 * -1 when it is not a count. */
static inline long example_count(int argc, char **argv) {
    unsigned long count = 0;
    if (argc > 3 && !example_number(argv[3], 10, 1000000000UL, &count)) return -1;
    return (long)count;
}

#define EXAMPLE_IDS_RULE "the product ID in hex (7401), the board ID as one hex digit or 0 to 15"

#endif
