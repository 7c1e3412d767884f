// SPDX-License-Identifier: MIT
// The library allocates nothing on the heap for its own use. Counts every
// malloc during each exported call (after a first call, which may set up
// libc's own buffers such as stdout's) and attributes it by backtrace: an
// allocation whose innermost caller outside the C and C++ runtimes is
// libkdx7400 is a violation. The stand-in for the kernel (the preloaded
// sim, which wraps glob, opendir, fopen, ...) allocates as it likes.
// Run under kdx7400-sim with one module: pid 0x7401, board 3.
#include "kdx7400.h"
#include "malloc_hooks.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>
#include <functional>
#include <string>
#include <vector>


namespace {

bool g_counting = false;
thread_local bool g_in_hook = false;
int g_violations = 0;

bool runtime(const char *object) {
    return std::strstr(object, "libc.so") != nullptr || std::strstr(object, "libstdc++") != nullptr ||
           std::strstr(object, "libgcc_s") != nullptr || std::strstr(object, "ld-linux") != nullptr;
}

bool allowed_libc_call(const char *symbol) {
    if (symbol == nullptr) {
        return false;
    }
    for (const char *name : {"glob", "glob64", "opendir", "__opendir", "fdopendir", "fopen", "fopen64",
                             "_IO_new_fopen", "_IO_fopen"}) {
        if (std::strcmp(symbol, name) == 0) {
            return true;
        }
    }
    return false;
}

void noted_allocation() {
    if (!g_counting || g_in_hook) {
        return;
    }
    g_in_hook = true;
    void *frames[48];
    const int depth = backtrace(frames, 48);
    bool in_allowed_libc_call = false;
    for (int i = 1; i < depth; ++i) {
        Dl_info info{};
        if (dladdr(frames[i], &info) == 0 || info.dli_fname == nullptr) {
            continue;
        }
        if (runtime(info.dli_fname) || std::strstr(info.dli_fname, "no_heap_guard") != nullptr) {
            // libc's directory and stream handles live on the heap by design.
            in_allowed_libc_call = in_allowed_libc_call || allowed_libc_call(info.dli_sname);
            continue; // the hook itself, or a runtime helper on the way
        }
        if (in_allowed_libc_call) {
            break;
        }
        if (std::strstr(info.dli_fname, "libkdx7400.so") != nullptr) {
            ++g_violations;
            Dl_info callee{};
            dladdr(frames[i - 1], &callee);
            std::fprintf(stderr, "  heap allocation from libkdx7400 (%s) through %s\n",
                         info.dli_sname != nullptr ? info.dli_sname : "?",
                         callee.dli_sname != nullptr ? callee.dli_sname : "?");
        }
        break;
    }
    g_in_hook = false;
}

} // namespace

void malloc_hooks::note_allocation() { noted_allocation(); }


int main() {
    void *warm[4];
    backtrace(warm, 4); // loads its unwinder now, not while counting
    const int32_t m = KDX7400_OpenDevice(0x7401, 3);
    if (m < 0) {
        std::fprintf(stderr, "no module 0x7401 board 3 (run under kdx7400-sim)\n");
        return 2;
    }
    uint64_t a = 0, b = 0;
    uint32_t u32 = 0, counters[64] = {};
    uint16_t u16 = 0;
    uint8_t u8 = 0, block[512] = {};
    char text[64] = {};
    kdx7400_device_entry entries[8] = {};
    kdx7400_module_entry modules[8] = {};
    size_t count = 0;
    const std::vector<std::pair<const char *, std::function<void()>>> calls = {
        {"KDX7400_OpenDevice+CloseDevice", [] { KDX7400_CloseDevice(KDX7400_OpenDevice(0x7401, 3)); }},
        {"KDX7400_OpenDevicePath", [] { KDX7400_CloseDevice(KDX7400_OpenDevicePath("/dev/sg0")); }},
        {"KDX7400_GetDeviceList", [&] { KDX7400_GetDeviceList(entries, 8, &count); }},
        {"KDX7400_GetModuleList", [&] { KDX7400_GetModuleList(modules, 8, &count); }},
        {"KDX7400_ListDevice", [] { KDX7400_ListDevice(); }},
        {"KDX7400_GetDeviceNode", [&] { KDX7400_GetDeviceNode(m, text, sizeof text); }},
        {"counts", [&] {
             KDX7400_GetDOTotal(m, &u8); KDX7400_GetDITotal(m, &u8); KDX7400_GetAOTotal(m, &u8);
             KDX7400_GetAITotal(m, &u8); KDX7400_GetPOTotal(m, &u8); KDX7400_GetPITotal(m, &u8);
         }},
        {"texts", [] { KDXIO_GetLibraryVersion(); KDXIO_GetResultString(6); KDXIO_GetOpenResultString(-1); }},
        {"codec", [&] {
             setU64Val(block, 1); setU32Val(block, 1); setU16Val(block, 1); setU8Val(block, 1);
             getU64Val(block); getU32Val(block); getU16Val(block); getU8Val(block);
             setU32ValBE(block, 1); setU16ValBE(block, 1); getU32ValBE(block); getU16ValBE(block);
             add_IDENTIFY_HEADER(block); get_do_block_size(16);
         }},
        {"printers", [&] { dumpPackage(block, 32); showInquiry(block); showCapacity(block); }},
        {"transfers", [&] {
             char node[32] = {};
             KDX7400_GetDeviceNode(m, node, sizeof node);
             const int fd = ::open(node, O_RDWR | O_CLOEXEC);
             readLBA(fd, LBA_DO_VALUE, block, 24); writeLBA(fd, LBA_OPCODE, block, 17);
             getInquiry(fd, block, 96); readCapacity(fd, block, 8); getDiskSize(fd);
             ::close(fd);
         }},
        {"module_init", [&] { module_slot copy{-1, 0, 0, 0, 0, 0, 0, 0}; module_init(&copy); module_init(nullptr); }},
        {"outputs", [&] {
             KDX7400_DO_WriteValue(m, 5); KDX7400_DO_WriteChannel(m, 1, 1); KDX7400_DO_ReadValue(m, &a);
             KDX7400_DO_SetPowerOnEnable(m, 1); KDX7400_DO_SetPowerOnEnableToChannel(m, 2, 1);
             KDX7400_DO_GetPowerOnEnable(m, &a); KDX7400_DO_SetInverse(m, 0); KDX7400_DO_GetInverse(m, &u8);
             KDX7400_DO_SetSafetyEnable(m, 1, 1); KDX7400_DO_SetSafetyEnableChannel(m, 3, 1, 0);
             KDX7400_DO_GetSafetyEnable(m, &a, &b);
         }},
        {"inputs", [&] {
             KDX7400_DI_ReadValue(m, &a); KDX7400_DI_ReadChannel(m, 1, &u8); KDX7400_DI_SetFilter(m, 3);
             KDX7400_DI_GetFilter(m, &u16); KDX7400_DI_SetInverse(m, 0); KDX7400_DI_GetInverse(m, &u8);
             KDX7400_DI_SetCntEdgeTrigger(m, 0); KDX7400_DI_GetCntEdgeTrigger(m, &u8);
             KDX7400_DI_ReadCounterValue(m, counters, 16); KDX7400_DI_ReadChannelCounter(m, 1, &u32);
             KDX7400_DI_ClearCounter(m, 1); KDX7400_DI_ClearCounterChannel(m, 1);
             kdx7400_input_state state{};
             kdx7400_input_events events{};
             kdx7400_input_record records[8];
             KDX7400_DI_BeginSampling(m, &state); KDX7400_DI_Sample(m, &state, &events);
             KDX7400_DI_EventRecords(&events, 16, records, 8, &count);
             KDX7400_DI_ClearSingleCounter(m, 1);
         }},
        {"identity and settings", [&] {
             KDX7400_GetFwVer(m, &u16); KDX7400_GetFwDate(m, text); KDX7400_SetDeviceNickName(m, "n");
             KDX7400_GetDeviceNickName(m, text); KDX7400_SetWriteProtect(m, 0); KDX7400_GetWriteProtect(m, &u8);
             KDX7400_SetFrameRateFactor(m, 1); KDX7400_GetFrameRateFactor(m, &u8); KDX7400_LoadDefault(m);
             KDX7400_SYNCDevice(m); KDX7400_ForceReset(m); setopcode(m, 1); getopcode(m, &u8);
         }},
        {"watchdog", [&] {
             KDX7400_SetSoftWDTTimeout(m, 1000); KDX7400_GetSoftWDTTimeout(m, &u32); KDX7400_ClearWDTErrLED(m);
         }},
    };
    std::fflush(stdout);
    int checked = 0;
    for (const auto &[name, call] : calls) {
        call(); // the first call may let libc set itself up
        const int before = g_violations;
        g_counting = true;
        call();
        g_counting = false;
        if (g_violations != before) {
            std::fprintf(stderr, "%s allocated on the heap\n", name);
        }
        ++checked;
    }
    KDX7400_CloseDevice(m);
    std::fflush(stdout);
    std::fprintf(stderr, "%d groups of calls checked, %d heap allocations from the library\n", checked,
                 g_violations);
    return g_violations == 0 ? 0 : 1;
}
