// SPDX-License-Identifier: MIT
/*
 * kdx7400.h - control KDX-7400 USB digital-I/O modules through the Linux
 * SCSI-generic driver.
 *
 * A module is opened by USB product ID and board ID and is then named by a
 * device index 0..31. Every call that takes a device index returns one of
 * the RESULT_* codes; out-parameters are written only on RESULT_OK.
 *
 * Ownership: the library owns the descriptor of every open module (from
 * KDX7400_OpenDevice to KDX7400_CloseDevice). Every buffer passed in stays
 * the caller's; nothing returned needs to be freed. The library allocates
 * nothing on the heap and keeps no state beyond its table of open modules.
 *
 * Threads and processes: every call may be made from any thread. Calls on
 * one module are serialised inside the process, and KDX7400_CloseDevice
 * waits for the calls in flight on it, so no call uses a closed or reused
 * descriptor. Every call that writes to a module also holds an advisory
 * flock(2) on its node, so that no other process using this library writes
 * to the module in between: a call of several commands (the single-channel
 * and masked output writes, KDX7400_DO_SetSafetyEnableChannel,
 * KDX7400_ClearWDTErrLED) is atomic against every other library user, in
 * any process. Reads take no flock. KDX7400_LockDevice groups calls of the
 * caller's into one such sequence. A call that cannot have the module
 * within the command time-out (5 s) returns RESULT_BUSY, having sent
 * nothing.
 */
#ifndef KDX7400_H
#define KDX7400_H

#include <stddef.h>
#include <stdint.h>

#if defined(KDX7400_BUILDING_LIBRARY) && defined(__GNUC__)
#define KDX7400_API __attribute__((visibility("default")))
#else
#define KDX7400_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Constants ------------------------------------------------------- */

/* Number of slots in the table of open modules (device indices 0..31). */
#define MAX_DEVICES 32
#define KDX7400_MAX_CHANNELS 64 /* inputs, and outputs, a module may have at most */
/* Magic in bytes 0..3 of every register block, little-endian A5 77 35 5A. */
#define IDENTIFY_HEADER_MAGIC 0x5A3577A5u
/* Payload byte of the three command registers (defaults, sync, reset). */
#define TRIGGER_BYTE 0x5A

/* Register block addresses (logical block addresses beyond the disk). */
#define LBA_WRITE_PROTECT 0x2001u     /* u8 write protection, 17 bytes */
#define LBA_FRAME_RATE_FACTOR 0x2002u /* u8 frame-rate factor, 17 bytes */
#define LBA_LOAD_DEFAULT 0x2003u      /* command: restore defaults, 17 bytes */
#define LBA_NICKNAME 0x2010u          /* 32-byte nickname, 48 bytes */
#define LBA_SOFT_WDT 0x2011u          /* u32 watchdog timeout (write), 20 bytes */
#define LBA_SYNC 0x2012u              /* command: synchronise, 17 bytes */
#define LBA_OPCODE 0x2013u            /* u8 opcode register, 17 bytes */
#define LBA_DI_FILTER 0x2021u         /* u16 input filter, 18 bytes */
#define LBA_DI_INVERSE 0x2022u        /* u8 input inversion, 17 bytes */
#define LBA_DI_CNT_EDGE 0x2023u       /* u8 counter edge, 17 bytes */
#define LBA_DI_COUNTER 0x2024u        /* counter table (read), clear mask (write) */
#define LBA_DO_VALUE 0x2040u          /* output states, 24 bytes */
#define LBA_DO_POWER_ON 0x2041u       /* power-on output states, 24 bytes */
#define LBA_DO_SAFETY 0x2042u         /* two safety masks, 32 bytes */
#define LBA_DO_INVERSE 0x2043u        /* u8 output inversion, 17 bytes */
#define LBA_FORCE_RESET 0x20FFu       /* command: reset the module, 17 bytes */
#define LBA_MODULE_INFO 0x2100u       /* module-info block (read only) */

/* Result codes of every call that takes a device index. */
#define RESULT_OK 0             /* success */
#define RESULT_OPENDIR_FAILED 1 /* the sg class directory cannot be opened */
#define RESULT_NOT_OPEN 2       /* the slot holds no open module */
#define RESULT_NULL_MODULE 3    /* module_init received no slot */
#define RESULT_BAD_HEADER 4     /* the block read lacks the header magic */
#define RESULT_WRITE_FAILED 5   /* the block write did not complete */
#define RESULT_READ_FAILED 6    /* the block read did not complete */
#define RESULT_INVALID_PARAM 7  /* an argument is out of range or missing */
#define RESULT_BAD_INDEX 8      /* the device index is outside 0..31 */
#define RESULT_BUFFER_TOO_SMALL 9 /* the caller's array or buffer is too small */
#define RESULT_BUSY 10            /* another thread or program held the module too long */

/* Channel families of KDX7400_CheckMask and KDX7400_CheckChannel. */
#define KDX7400_OUTPUTS 0
#define KDX7400_INPUTS 1

/* Negative results of KDX7400_OpenDevice and KDX7400_OpenDevicePath. On
 * every one errno says why: EINVAL (bad board ID or path), ENOENT (no such
 * module or node), EACCES (a node of the product, or the node named, may
 * not be opened by this user, and nothing else matched), ENODEV (the node
 * is no module), EMFILE (all 32 slots in use), EIO (the module did not
 * answer its info block). */
#define OPEN_NOT_FOUND (-1)    /* no node matched, or the node search failed */
#define OPEN_TABLE_FULL (-2)   /* a node matched but all 32 slots are open */
#define OPEN_BAD_BOARD_ID (-3) /* the board ID is above 15 */
#define OPEN_BAD_PATH (-4)     /* not an sg node name (/dev/sgN or sgN) */
#define OPEN_PERMISSION_DENIED (-5) /* from KDX7400_WhyOpenFailed only: a node
                                     * that may be the module may not be
                                     * opened by this user */

/* ---- Types ----------------------------------------------------------- */

/* One slot of the table of open modules; fd is -1 when the slot is free. */
typedef struct module_slot {
    int32_t fd;          /* descriptor of the module's sg node, or -1 */
    int32_t initialized; /* 1 once module_init ran on the slot */
    uint8_t do_total;    /* digital outputs */
    uint8_t di_total;    /* digital inputs */
    uint8_t ao_total;    /* analog outputs */
    uint8_t ai_total;    /* analog inputs */
    uint8_t po_total;    /* pulse outputs */
    uint8_t pi_total;    /* pulse inputs */
} module_slot;

/* One module found by KDX7400_GetDeviceList. */
typedef struct kdx7400_device_entry {
    char node[32];         /* sg node name, for example "sg2" */
    uint16_t product_id;   /* USB idProduct, 0 when sysfs shows none */
    int32_t has_product_id;/* 1 when product_id came from sysfs */
    char bid_char;         /* board-ID character, 0 when none is reported */
    char display_name[32]; /* name as KDX7400_ListDevice prints it */
    char product_name[32]; /* INQUIRY text from the product prefix on */
} kdx7400_device_entry;

/* One module found by KDX7400_GetModuleList, decoded for applications. */
typedef struct kdx7400_module_entry {
    char node[40];         /* the node's path, for example "/dev/sg2" */
    uint16_t product_id;   /* USB idProduct, 0 when sysfs shows none */
    int32_t has_product_id;/* 1 when product_id came from sysfs */
    int16_t board_id;      /* 0..15, or -1 when the module reports none */
    char name[32];         /* as KDX7400_ListDevice prints it */
    char product[17];      /* the INQUIRY product (16 characters), trailing blanks cut */
} kdx7400_module_entry;

/* ---- Byte order and register blocks ---------------------------------- */

KDX7400_API void setU64Val(uint8_t *dst, uint64_t value); /* 8 bytes little-endian */
KDX7400_API void setU32Val(uint8_t *dst, uint32_t value); /* 4 bytes little-endian */
KDX7400_API void setU16Val(uint8_t *dst, uint16_t value); /* 2 bytes little-endian */
KDX7400_API void setU8Val(uint8_t *dst, uint8_t value);   /* 1 byte */
KDX7400_API uint64_t getU64Val(const uint8_t *src);       /* 8 bytes little-endian */
KDX7400_API uint32_t getU32Val(const uint8_t *src);       /* 4 bytes little-endian */
KDX7400_API uint16_t getU16Val(const uint8_t *src);       /* 2 bytes little-endian */
KDX7400_API uint8_t getU8Val(const uint8_t *src);         /* 1 byte */
KDX7400_API void setU32ValBE(uint8_t *dst, uint32_t value); /* 4 bytes big-endian */
KDX7400_API void setU16ValBE(uint8_t *dst, uint16_t value); /* 2 bytes big-endian */
KDX7400_API uint32_t getU32ValBE(const uint8_t *src);       /* 4 bytes big-endian */
KDX7400_API uint16_t getU16ValBE(const uint8_t *src);       /* 2 bytes big-endian */
/* Stores IDENTIFY_HEADER_MAGIC at block[0..3]; no other byte is touched. */
KDX7400_API void add_IDENTIFY_HEADER(uint8_t *block);
/* Safety-register layout for an output count: 32 (count <= 32) or 64. */
KDX7400_API int32_t get_do_block_size(uint8_t do_total);

/* ---- SCSI transfers (the descriptor stays the caller's) --------------- */

/* WRITE(10) of len bytes at lba; returns len, or 0 when it did not complete. */
KDX7400_API int32_t writeLBA(int32_t fd, uint32_t lba, const uint8_t *buf, uint32_t len);
/* READ(10) of len bytes at lba; returns len, or 0 when it did not complete. */
KDX7400_API int32_t readLBA(int32_t fd, uint32_t lba, uint8_t *buf, uint32_t len);
/* Standard INQUIRY of len bytes; returns len, or 0 on failure. */
KDX7400_API int32_t getInquiry(int32_t fd, uint8_t *buf, uint32_t len);
/* READ CAPACITY(10) data (last block, block length, big-endian); len or 0. */
KDX7400_API int32_t readCapacity(int32_t fd, uint8_t *buf, uint32_t len);
/* Disk size in bytes, (last block + 1) x block length; 0 on failure. */
KDX7400_API uint64_t getDiskSize(int32_t fd);

/* ---- Diagnostic printers (buffered standard output, never flushed) ---- */

/* Hexadecimal table of size bytes, sixteen to a row. */
KDX7400_API void dumpPackage(const uint8_t *data, int32_t size);
/* Vendor, product and revision of standard INQUIRY data (>= 37 bytes). */
KDX7400_API void showInquiry(const uint8_t *inquiry);
/* Block count, block length and size of READ CAPACITY(10) data (8 bytes). */
KDX7400_API void showCapacity(const uint8_t *capacity);

/* ---- Module table ----------------------------------------------------- */

/* Reads the module-info block on slot->fd and fills the slot's counts. */
KDX7400_API int16_t module_init(module_slot *slot);
/* Opens the module with this USB product ID and board ID (0..15); returns
 * the device index 0..31 or OPEN_NOT_FOUND, OPEN_TABLE_FULL,
 * OPEN_BAD_BOARD_ID. */
KDX7400_API int32_t KDX7400_OpenDevice(uint16_t product_id, uint8_t board_id);
/* Opens the module on one sg node, "/dev/sgN" or "sgN", when the node
 * passes the identity checks of KDX7400_OpenDevice without the two keys: a
 * 2 MiB disk whose INQUIRY data name vendor KALMIR and a KDX-74 product.
 * Reaches each of two modules with the same product ID and board ID.
 * Returns the device index, OPEN_BAD_PATH, OPEN_NOT_FOUND (no such node,
 * not a module, not accessible) or OPEN_TABLE_FULL. */
KDX7400_API int32_t KDX7400_OpenDevicePath(const char *path);
/* Why an open failed, from its result and the errno it left: an
 * OPEN_NOT_FOUND with EACCES or EPERM is OPEN_PERMISSION_DENIED (a node
 * refused to this user, who may lack the group of the udev rule); every
 * other result is returned as it is. Its text: KDXIO_GetOpenResultString. */
KDX7400_API int32_t KDX7400_WhyOpenFailed(int32_t result, int error_number);
/* Copies the path of the sg node an open slot is on ("/dev/sg3") with its
 * NUL into buffer: RESULT_INVALID_PARAM for no buffer, the index and open
 * tests, RESULT_BUFFER_TOO_SMALL when size cannot hold it. */
KDX7400_API int16_t KDX7400_GetDeviceNode(int32_t index, char *buffer, size_t size);
/* Closes the module's descriptor and frees its slot, after the calls in
 * flight on it; it also ends the calling thread's KDX7400_LockDevice. */
KDX7400_API int16_t KDX7400_CloseDevice(int32_t index);
/* An index names whatever is open in its slot now: an index kept past a
 * close, or inherited from a parent process, may name a module opened
 * since. Each open has a generation (the opening process and its count of
 * opens), never given twice in a process nor equal across processes; a
 * wrapper that keeps it with the index acts only on its own open. */
/* Copies the generation of the open in the slot: the index and open tests,
 * RESULT_INVALID_PARAM for no destination. */
KDX7400_API int16_t KDX7400_GetDeviceGeneration(int32_t index, uint64_t *generation);
/* RESULT_OK when the slot holds the open of that generation, otherwise
 * RESULT_NOT_OPEN (after the index test); sends nothing. */
KDX7400_API int16_t KDX7400_CheckDeviceGeneration(int32_t index, uint64_t generation);
/* KDX7400_CloseDevice of that open only: RESULT_NOT_OPEN, closing
 * nothing, when the slot holds another or none. */
KDX7400_API int16_t KDX7400_CloseDeviceGeneration(int32_t index, uint64_t generation);
/* Makes the module the calling thread's until KDX7400_UnlockDevice: no
 * other thread, and no other process's write, reaches it in between, so
 * that a read, a decision and a write form one step. Nests, also with the
 * library's own use; every LockDevice needs its UnlockDevice (closing
 * ends them all). RESULT_BUSY after 5 s of waiting. */
KDX7400_API int16_t KDX7400_LockDevice(int32_t index);
/* Who holds the module now, to say why a call returned RESULT_BUSY:
 * copies "another thread of this program", "another program (PID 1234)"
 * (the holder of its flock, as /proc/locks names it) or "nobody now" with
 * its NUL into buffer, and into *pid (unless NULL) the holder's PID (this
 * program's own for one of its threads) or 0. The index and open tests,
 * RESULT_INVALID_PARAM for no buffer, RESULT_BUFFER_TOO_SMALL when the text
 * does not fit (48 bytes always do). */
KDX7400_API int16_t KDX7400_GetDeviceHolder(int32_t index, int32_t *pid, char *buffer, size_t size);
/* Ends one KDX7400_LockDevice of the calling thread: RESULT_INVALID_PARAM
 * when this thread holds none on an open module. */
KDX7400_API int16_t KDX7400_UnlockDevice(int32_t index);
/* RESULT_INVALID_PARAM when mask names a channel the module lacks, of its
 * outputs (family KDX7400_OUTPUTS) or inputs (KDX7400_INPUTS); after the
 * index and open tests; sends nothing. Many calls pass such bits on and
 * the module ignores them: this tells a caller before it sends. */
KDX7400_API int16_t KDX7400_CheckMask(int32_t index, int32_t family, uint64_t mask);
/* The same for one channel number (64 and above never exist). */
KDX7400_API int16_t KDX7400_CheckChannel(int32_t index, int32_t family, uint32_t channel);
/* Settings of KDX7400_CheckSetting, with the values each takes. */
#define KDX7400_SETTING_FILTER 1          /* 0..65535 */
#define KDX7400_SETTING_INPUT_INVERSE 2   /* 0 or 1 */
#define KDX7400_SETTING_COUNTER_EDGE 3    /* 0 (rising) or 1 (falling) */
#define KDX7400_SETTING_OUTPUT_INVERSE 4  /* 0 or 1 */
#define KDX7400_SETTING_POWER_ON 5        /* a mask of the module's outputs */
#define KDX7400_SETTING_SAFETY_MASK 6     /* a mask of the module's outputs */
#define KDX7400_SETTING_WATCHDOG 7        /* 100..1800000 ms, or 0: off */
#define KDX7400_SETTING_WRITE_PROTECT 8   /* 0 or 1 */
#define KDX7400_SETTING_FRAME_RATE 9      /* 0..255 */
#define KDX7400_SETTING_NICKNAME_BYTES 10 /* 0..32: the bytes of a nickname */
/* RESULT_INVALID_PARAM when the value is not one the setting takes (or the
 * setting is unknown), after the index and open tests; sends nothing. So
 * a caller checks a whole record of settings before it writes any (the
 * setters send some values on unchecked, and cut a long nickname). */
KDX7400_API int16_t KDX7400_CheckSetting(int32_t index, int32_t setting, uint64_t value);
/* Channel counts read when the module was opened. */
KDX7400_API int16_t KDX7400_GetDOTotal(int32_t index, uint8_t *total);
KDX7400_API int16_t KDX7400_GetDITotal(int32_t index, uint8_t *total);
KDX7400_API int16_t KDX7400_GetAOTotal(int32_t index, uint8_t *total);
KDX7400_API int16_t KDX7400_GetAITotal(int32_t index, uint8_t *total);
KDX7400_API int16_t KDX7400_GetPOTotal(int32_t index, uint8_t *total);
KDX7400_API int16_t KDX7400_GetPITotal(int32_t index, uint8_t *total);
/* "1.0.0", static storage. */
KDX7400_API const char *KDXIO_GetLibraryVersion(void);

/* ---- Listing ---------------------------------------------------------- */

/* Prints the modules present (from sysfs) to standard output. */
KDX7400_API int16_t KDX7400_ListDevice(void);
/* Fills up to capacity entries with the modules present, in node order
 * (sg2 before sg10), and stores the number found in *count, even when it exceeds capacity; that case yields
 * RESULT_BUFFER_TOO_SMALL with the first capacity entries filled. At most
 * 32 modules are reported. RESULT_OPENDIR_FAILED when sysfs has no sg
 * class directory (*count is then 0). */
KDX7400_API int16_t KDX7400_GetDeviceList(kdx7400_device_entry *entries, size_t capacity,
                                          size_t *count);
/* As KDX7400_GetDeviceList, each module decoded: the node's path, the
 * board ID as a number (-1 for none), the product without its revision. */
KDX7400_API int16_t KDX7400_GetModuleList(kdx7400_module_entry *entries, size_t capacity, size_t *count);

/* ---- Digital outputs -------------------------------------------------- */

KDX7400_API int16_t KDX7400_DO_WriteValue(int32_t index, uint64_t mask); /* whole output mask */
/* Sets (state 1) or clears (state 0) output channel 0..63. */
KDX7400_API int16_t KDX7400_DO_WriteChannel(int32_t index, uint8_t channel, uint8_t state);
/* Sets the outputs selected by mask to their bits in value and leaves the
 * others: one read and one write under the module's lock, so no other
 * user's change is undone. RESULT_INVALID_PARAM (nothing sent) when mask
 * or value names an output the module lacks. */
KDX7400_API int16_t KDX7400_DO_WriteMaskedValue(int32_t index, uint64_t mask, uint64_t value);
/* The same, and the outputs it left in *outputs when not null: what was
 * written, with no further read. */
KDX7400_API int16_t KDX7400_DO_UpdateValue(int32_t index, uint64_t mask, uint64_t value, uint64_t *outputs);
/* Flips the outputs selected by mask and leaves the others, under the same
 * lock; the outputs it left in *outputs when not null. RESULT_INVALID_PARAM
 * (nothing sent) when mask names an output the module lacks. */
KDX7400_API int16_t KDX7400_DO_ToggleValue(int32_t index, uint64_t mask, uint64_t *outputs);
KDX7400_API int16_t KDX7400_DO_ReadValue(int32_t index, uint64_t *mask); /* output mask */
KDX7400_API int16_t KDX7400_DO_SetPowerOnEnable(int32_t index, uint64_t mask); /* power-on mask */
/* Sets or clears one channel of the power-on mask. */
KDX7400_API int16_t KDX7400_DO_SetPowerOnEnableToChannel(int32_t index, uint8_t channel,
                                                        uint8_t state);
KDX7400_API int16_t KDX7400_DO_GetPowerOnEnable(int32_t index, uint64_t *mask); /* power-on mask */
KDX7400_API int16_t KDX7400_DO_SetInverse(int32_t index, uint8_t inverse); /* output inversion */
KDX7400_API int16_t KDX7400_DO_GetInverse(int32_t index, uint8_t *inverse); /* output inversion */
/* Writes both safety masks. */
KDX7400_API int16_t KDX7400_DO_SetSafetyEnable(int32_t index, uint64_t first, uint64_t second);
/* Sets or clears one channel's bit in each safety mask. */
KDX7400_API int16_t KDX7400_DO_SetSafetyEnableChannel(int32_t index, uint8_t channel,
                                                     uint8_t first_bit, uint8_t second_bit);
/* Reads both safety masks. */
KDX7400_API int16_t KDX7400_DO_GetSafetyEnable(int32_t index, uint64_t *first, uint64_t *second);

/* ---- Digital inputs and counters -------------------------------------- */

KDX7400_API int16_t KDX7400_DI_ReadValue(int32_t index, uint64_t *value); /* input states */
/* State (0 or 1) of one input channel below the module's input count. */
KDX7400_API int16_t KDX7400_DI_ReadChannel(int32_t index, uint8_t channel, uint8_t *state);
KDX7400_API int16_t KDX7400_DI_SetFilter(int32_t index, uint16_t filter); /* input filter */
KDX7400_API int16_t KDX7400_DI_GetFilter(int32_t index, uint16_t *filter); /* input filter */
KDX7400_API int16_t KDX7400_DI_SetInverse(int32_t index, uint8_t inverse); /* 0 or 1 */
KDX7400_API int16_t KDX7400_DI_GetInverse(int32_t index, uint8_t *inverse); /* as reported */
KDX7400_API int16_t KDX7400_DI_SetCntEdgeTrigger(int32_t index, uint8_t edge); /* 0 or 1 */
KDX7400_API int16_t KDX7400_DI_GetCntEdgeTrigger(int32_t index, uint8_t *edge); /* as reported */
/* Reads all counters; count must equal the module's input count. */
KDX7400_API int16_t KDX7400_DI_ReadCounterValue(int32_t index, uint32_t *values, uint8_t count);
/* Reads the counter of one input channel. */
KDX7400_API int16_t KDX7400_DI_ReadChannelCounter(int32_t index, uint8_t channel, uint32_t *value);
/* Clears the counters whose bits are set in mask. */
KDX7400_API int16_t KDX7400_DI_ClearCounter(int32_t index, uint64_t mask);
/* Clears one counter; the channel must be below the module's input count. */
KDX7400_API int16_t KDX7400_DI_ClearCounterChannel(int32_t index, uint8_t channel);
/* Clears one counter without testing the channel against the input count. */
KDX7400_API int16_t KDX7400_DI_ClearSingleCounter(int32_t index, unsigned int channel);

/* ---- Input sampling ---------------------------------------------------- */

/* The caller's record of its previous sample of a module's inputs: the
 * library keeps none. Zero it before the first sample; set edge to the
 * edge the counters count as the reported levels show it (0 rising, 1
 * falling: the counter edge setting, inverted when input inversion is on),
 * so that a counted edge the levels show is told from one they hide. */
typedef struct kdx7400_input_state {
    uint64_t levels;       /* input levels at the previous sample */
    uint32_t counters[64]; /* counter values at the previous sample */
    uint8_t channels;      /* inputs sampled: the input count, 64 at most */
    uint8_t sampled;       /* 0 until the first sample */
    uint8_t edge;          /* the caller's: which edge the counters count */
    uint32_t sampled_at;   /* the previous sample's time, in seconds since
                              boot (CLOCK_BOOTTIME); in what was padding */
} kdx7400_input_state;

/* The most counted edges a second the library takes a counter to see: a
 * counter that went down wrapped only if the time between two samples
 * could hold the pulses a wrap means at this rate; otherwise it was
 * cleared (by this program or another) and counts from zero. */
#define KDX7400_COUNT_RATE_MAX 1000000u

/* What happened at a module's inputs between two samples. */
typedef struct kdx7400_input_events {
    uint64_t levels;       /* input levels now */
    uint64_t changed;      /* inputs whose level differs from the previous sample */
    uint64_t unseen;       /* inputs whose counter moved more than their level
                              change explains: pulses between the samples */
    uint32_t pulses[64];   /* counted edges per input since the previous sample,
                              across a counter wrap (one wrap at most); since
                              the clear for a counter cleared between them */
} kdx7400_input_events;

/* Reads the input levels, then the counters (two transfers, no other
 * thread's command between them; like any read, it takes no flock),
 * reports in *events what happened since
 * *state and updates *state. The first sample reports levels only. Only
 * the edge the counter edge setting names is counted. RESULT_INVALID_PARAM
 * for a missing pointer; nothing is written on failure. */
KDX7400_API int16_t KDX7400_DI_Sample(int32_t index, kdx7400_input_state *state,
                                      kdx7400_input_events *events);
/* KDX7400_DI_Sample, and in *cleared the inputs whose counter went down
 * and was cleared between the samples (see KDX7400_COUNT_RATE_MAX): their
 * pulses count from the clear. RESULT_INVALID_PARAM for a missing pointer. */
KDX7400_API int16_t KDX7400_DI_SampleClears(int32_t index, kdx7400_input_state *state,
                                           kdx7400_input_events *events, uint64_t *cleared);
/* Starts *state for KDX7400_DI_Sample: nothing sampled yet, and the edge
 * the counters count as the reported levels show it (the counter edge
 * setting, flipped by input inversion), so that a counted edge the levels
 * show is not taken for a hidden pulse. Two reads; *state untouched on
 * failure. */
KDX7400_API int16_t KDX7400_DI_BeginSampling(int32_t index, kdx7400_input_state *state);

/* One thing that happened at an input between two samples. */
#define KDX7400_INPUT_RISING 1  /* the level went from 0 to 1 */
#define KDX7400_INPUT_FALLING 2 /* from 1 to 0 */
#define KDX7400_INPUT_PULSES 3  /* count edges the levels could not show */
typedef struct kdx7400_input_record {
    uint8_t channel;
    uint8_t kind;   /* KDX7400_INPUT_* */
    uint32_t count; /* 1 for a level change */
} kdx7400_input_record;

/* Decodes *events of channels inputs into records, in channel order, and
 * per channel the pulses before the level change; at most 2 per channel.
 * *count is the number of records, even beyond capacity (then
 * RESULT_BUFFER_TOO_SMALL with capacity records written). */
KDX7400_API int16_t KDX7400_DI_EventRecords(const kdx7400_input_events *events, uint8_t channels,
                                           kdx7400_input_record *records, size_t capacity, size_t *count);

/* ---- Identity, settings, commands, watchdog --------------------------- */

/* What the module-info block tells in one read: firmware, watchdog
 * time-out, inputs and the channel counts the module reports now. */
typedef struct kdx7400_module_info {
    uint16_t firmware_version;
    char firmware_date[11]; /* 10 bytes as the module sends them, and a NUL */
    uint32_t watchdog_timeout; /* ms, 0: off */
    uint64_t inputs;           /* bit i = input i, of the inputs the slot has */
    uint8_t di_total, do_total, ai_total, ao_total, pi_total, po_total;
} kdx7400_module_info;
/* One command for all of it (the getters below make one each). */
KDX7400_API int16_t KDX7400_ReadModuleInfo(int32_t index, kdx7400_module_info *info);
KDX7400_API int16_t KDX7400_GetFwVer(int32_t index, uint16_t *version); /* firmware version */
/* Firmware date: 10 bytes and a NUL into a buffer of at least 11 bytes. */
KDX7400_API int16_t KDX7400_GetFwDate(int32_t index, char *date);
/* Writes the nickname (at most 32 bytes kept; NULL writes an empty name). */
KDX7400_API int16_t KDX7400_SetDeviceNickName(int32_t index, const char *name);
/* Reads the nickname: 32 bytes and a NUL into >= 33 bytes (NULL: read only). */
KDX7400_API int16_t KDX7400_GetDeviceNickName(int32_t index, char *name);
KDX7400_API int16_t KDX7400_SetWriteProtect(int32_t index, uint8_t protect); /* sends 0 or 1 */
KDX7400_API int16_t KDX7400_GetWriteProtect(int32_t index, uint8_t *protect); /* NULL: read only */
KDX7400_API int16_t KDX7400_SetFrameRateFactor(int32_t index, uint8_t factor); /* frame-rate factor */
KDX7400_API int16_t KDX7400_GetFrameRateFactor(int32_t index, uint8_t *factor); /* NULL: read only */
KDX7400_API int16_t KDX7400_LoadDefault(int32_t index); /* module restores its defaults */
KDX7400_API int16_t KDX7400_SYNCDevice(int32_t index);  /* module synchronises */
KDX7400_API int16_t KDX7400_ForceReset(int32_t index);  /* module resets; the slot stays open */
KDX7400_API int16_t setopcode(int32_t index, uint8_t opcode);  /* opcode register */
KDX7400_API int16_t getopcode(int32_t index, uint8_t *opcode); /* opcode register */
/* Watchdog timeout in milliseconds; anything outside the range is refused. */
#define KDX7400_WDT_TIMEOUT_MIN 100u
#define KDX7400_WDT_TIMEOUT_MAX 1800000u
KDX7400_API int16_t KDX7400_SetSoftWDTTimeout(int32_t index, uint32_t timeout);
KDX7400_API int16_t KDX7400_GetSoftWDTTimeout(int32_t index, uint32_t *timeout);
/* Clears the watchdog error: writes timeout 0, then the timeout read before
 * (also when the first write failed). */
KDX7400_API int16_t KDX7400_ClearWDTErrLED(int32_t index);
/* Turns the watchdog off: writes timeout 0, the module's default, and
 * changes no other setting (as KDX7400_LoadDefault would). */
KDX7400_API int16_t KDX7400_DisableSoftWDT(int32_t index);
/* The watchdog as a setting (KDX7400_SETTING_WATCHDOG): 100..1800000 ms
 * arms it (KDX7400_SetSoftWDTTimeout), 0 turns it off (KDX7400_DisableSoftWDT). */
KDX7400_API int16_t KDX7400_SetWatchdog(int32_t index, uint32_t timeout);

/* ---- Result texts ------------------------------------------------------ */

/* Static English text of a RESULT_* code; "unknown result" otherwise. */
KDX7400_API const char *KDXIO_GetResultString(int code);
/* Static English text of a KDX7400_OpenDevice result ("module opened" for an index). */
KDX7400_API const char *KDXIO_GetOpenResultString(int32_t result);

#ifdef __cplusplus
}
#endif

#endif /* KDX7400_H */
