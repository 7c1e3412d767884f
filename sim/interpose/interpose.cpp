// SPDX-License-Identifier: MIT
// Preloaded (LD_PRELOAD) stand-in for the kernel boundary. With
// KDX7400_SIM_TESTBED naming a testbed directory, the sg nodes and sysfs
// live in that directory: paths under /dev/sg* and /sys/ are redirected
// there, names coming back are mapped to the un-redirected form, and
// SG_IO on a redirected node is answered by the sg driver emulation. Every
// other call, and every call without a testbed, goes to libc untouched.
#include "../scsi/target.h"
#include "../sg/sg_driver.h"
#include "../testbed/store.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#define KDXSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <typename F> F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

#define REAL(name)                                                                                 \
    static const auto real_##name = next<decltype(&::name)>(#name)

const char *testbed() {
    const char *root = std::getenv(kdxsim::kTestbedEnv);
    return root != nullptr && root[0] != '\0' ? root : nullptr;
}

bool is_node_path(const char *path) {
    return std::strncmp(path, "/dev/sg", 7) == 0 && std::strchr(path + 5, '/') == nullptr;
}

bool is_sysfs_path(const char *path) {
    return std::strcmp(path, "/sys") == 0 || std::strncmp(path, "/sys/", 5) == 0;
}

// The testbed path for a redirected name; false when the name stays.
bool redirect(const char *path, char (&out)[PATH_MAX]) {
    const char *root = testbed();
    if (root == nullptr || path == nullptr || !(is_node_path(path) || is_sysfs_path(path))) {
        return false;
    }
    return std::snprintf(out, sizeof out, "%s%s", root, path) < static_cast<int>(sizeof out);
}

using NodeName = std::array<char, 16>;

// Node name of each descriptor opened on a redirected sg node. Threads open,
// use and close descriptors at once, and the kernel reuses a closed number
// at once: the table has its own lock, as the kernel's file table has.
std::array<NodeName, 4096> g_nodes{};
std::mutex g_nodes_mutex;

// A child of fork has only the forking thread: a table lock another thread
// held stays held for ever unless made anew, as the kernel's would not. At
// load, so that this comes before the store's own handler (which closes
// descriptors, through this table).
void nodes_after_fork() { new (&g_nodes_mutex) std::mutex; }
__attribute__((constructor)) void watch_forks() { ::pthread_atfork(nullptr, nullptr, nodes_after_fork); }

// sg's per-descriptor data buffer, reused from command to command.
std::array<std::vector<uint8_t>, 4096> g_reserve;

// The node a descriptor is open on; empty for any other descriptor.
NodeName node_of(int fd) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= g_nodes.size()) {
        return {};
    }
    const std::lock_guard lock(g_nodes_mutex);
    return g_nodes[fd];
}

bool names_id_product(const char *path) {
    const std::size_t length = path != nullptr ? std::strlen(path) : 0;
    return length >= 9 && std::strcmp(path + length - 9, "idProduct") == 0;
}

int track_open(int fd, const char *original, int flags) {
    if (fd >= 0 && is_node_path(original) && static_cast<std::size_t>(fd) < g_nodes.size()) {
        const char *node = std::strrchr(original, '/') + 1;
        {
            const std::lock_guard lock(g_nodes_mutex);
            std::snprintf(g_nodes[fd].data(), g_nodes[fd].size(), "%s", node);
        }
        const kdxsim::Store store(testbed());
        store.append_log("open node=" + std::string(node) + " flags=" + std::to_string(flags));
    }
    return fd;
}

int do_open(const char *path, int flags, mode_t mode) {
    REAL(open);
    // Where the idProduct walk looks, in sysfs or out of it, so that tests
    // see it stay there; only when asked, as it costs a log write per step.
    if (testbed() != nullptr && names_id_product(path) && std::getenv(kdxsim::kLogWalkEnv) != nullptr) {
        const kdxsim::Store store(testbed());
        store.append_log("idproduct path=" + std::string(path));
    }
    char mapped[PATH_MAX];
    if (!redirect(path, mapped)) {
        return real_open(path, flags, mode);
    }
    return track_open(real_open(mapped, flags, mode), path, flags);
}

// A descriptor opened before an unplug stays dead after the module comes
// back, as under the kernel: its node file is not the one there now.
bool same_plug(int fd, const char *node) {
    struct stat held {}, present {};
    const std::string path = std::string(testbed()) + "/dev/" + node;
    if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &present) != 0) {
        return true; // unplugged now: the module's state says so
    }
    return held.st_ino == present.st_ino && held.st_dev == present.st_dev;
}

int sg_ioctl(int fd, const char *node, sg_io_hdr_t *request) {
    const kdxsim::Store store(testbed());
    auto lock = store.lock();
    kdxsim::ModuleState state{};
    if (!store.load(node, state) || !same_plug(fd, node)) {
        errno = ENODEV;
        return -1;
    }
    int opcode = -1;
    int64_t lba = -1;
    std::string line = "sgio node=" + std::string(node);
    if (request == nullptr) {
        errno = EFAULT;
        return -1;
    }
    line += " interface_id=" + std::to_string(request->interface_id) +
            " dxfer_direction=" + std::to_string(request->dxfer_direction) +
            " cmd_len=" + std::to_string(request->cmd_len) +
            " mx_sb_len=" + std::to_string(request->mx_sb_len) +
            " dxfer_len=" + std::to_string(request->dxfer_len) +
            " timeout=" + std::to_string(request->timeout) +
            " flags=" + std::to_string(request->flags) +
            " iovec_count=" + std::to_string(request->iovec_count);
    if (request->cmdp != nullptr && request->cmd_len > 0 && request->cmd_len <= 16) {
        line += " cdb=" + kdxsim::to_hex(request->cmdp, request->cmd_len);
        opcode = request->cmdp[0];
        if (const auto address = kdxsim::block_address({request->cmdp, request->cmd_len})) {
            lba = *address;
        }
    }
    if (request->dxfer_direction == SG_DXFER_TO_DEV && request->dxferp != nullptr &&
        request->dxfer_len <= 4096) {
        line += " data=" + kdxsim::to_hex(static_cast<const uint8_t *>(request->dxferp), request->dxfer_len);
    }
    const auto fault = store.take_fault(node, opcode, lba);
    if (fault && fault->delay_ms != 0) {
        lock.wait(std::chrono::milliseconds(fault->delay_ms));
        if (!store.load(node, state)) { // unplugged in the meantime
            errno = ENODEV;
            return -1;
        }
    }
    const int result = kdxsim::sg_io(state, *request, fault ? &*fault : nullptr, store.now_ms(),
                                     g_reserve[static_cast<std::size_t>(fd)]);
    store.save(node, state);
    store.append_log(line + " errno=" + std::to_string(-result) + " fd=" + std::to_string(fd));
    if (result < 0) {
        errno = -result;
        return -1;
    }
    return 0;
}

// Strips the canonical testbed root from a resolved path, in place.
void unmap_resolved(char *resolved) {
    REAL(realpath);
    char root[PATH_MAX];
    if (real_realpath(testbed(), root) == nullptr) {
        return;
    }
    const std::size_t length = std::strlen(root);
    if (std::strncmp(resolved, root, length) == 0 && resolved[length] == '/') {
        std::memmove(resolved, resolved + length, std::strlen(resolved + length) + 1);
    }
}

template <typename GlobT, typename Glob, typename Free>
int redirected_glob(Glob real_glob, Free real_globfree, const char *mapped, int flags,
                    int (*errfunc)(const char *, int), GlobT *result) {
    GlobT inner{};
    const int status = real_glob(mapped, flags & ~(GLOB_APPEND | GLOB_DOOFFS), errfunc, &inner);
    const std::size_t offsets = (flags & GLOB_DOOFFS) != 0 ? result->gl_offs : 0;
    const std::size_t root_length = std::strlen(testbed());
    // Built with malloc, so that the caller's globfree releases it.
    result->gl_pathc = inner.gl_pathc;
    result->gl_offs = offsets;
    result->gl_pathv =
        static_cast<char **>(std::calloc(offsets + inner.gl_pathc + 1, sizeof(char *)));
    for (std::size_t i = 0; i < inner.gl_pathc && result->gl_pathv != nullptr; ++i) {
        result->gl_pathv[offsets + i] = strdup(inner.gl_pathv[i] + root_length);
    }
    real_globfree(&inner);
    if (status != 0) {
        std::free(result->gl_pathv);
        result->gl_pathv = nullptr;
        result->gl_pathc = 0;
    }
    return status;
}

} // namespace

// The mode argument is there only when the flags create a file.
#define OPEN_MODE(flags, mode)                                                                     \
    mode_t mode = 0;                                                                               \
    if (((flags) & O_CREAT) != 0 || ((flags) & O_TMPFILE) == O_TMPFILE) {                          \
        va_list args;                                                                              \
        va_start(args, flags);                                                                     \
        mode = static_cast<mode_t>(va_arg(args, unsigned));                                        \
        va_end(args);                                                                              \
    }

KDXSIM_EXPORT int open(const char *path, int flags, ...) {
    OPEN_MODE(flags, mode);
    return do_open(path, flags, mode);
}

KDXSIM_EXPORT int open64(const char *path, int flags, ...) {
    OPEN_MODE(flags, mode);
    return do_open(path, flags, mode);
}

KDXSIM_EXPORT int __open_2(const char *path, int flags) { return do_open(path, flags, 0); }
KDXSIM_EXPORT int __open64_2(const char *path, int flags) { return do_open(path, flags, 0); }

static int do_openat(int dirfd, const char *path, int flags, mode_t mode) {
    char mapped[PATH_MAX];
    if (path[0] == '/' && redirect(path, mapped)) {
        return do_open(path, flags, mode);
    }
    REAL(openat);
    return real_openat(dirfd, path, flags, mode);
}

KDXSIM_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    OPEN_MODE(flags, mode);
    return do_openat(dirfd, path, flags, mode);
}

KDXSIM_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    OPEN_MODE(flags, mode);
    return do_openat(dirfd, path, flags, mode);
}

KDXSIM_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    return do_openat(dirfd, path, flags, 0);
}

KDXSIM_EXPORT int close(int fd) {
    REAL(close);
    if (const NodeName node = node_of(fd); node[0] != '\0') {
        if (testbed() != nullptr) {
            const kdxsim::Store store(testbed());
            store.append_log("close node=" + std::string(node.data()) + " fd=" + std::to_string(fd));
        }
        const std::lock_guard lock(g_nodes_mutex);
        g_nodes[fd][0] = '\0';
        g_reserve[static_cast<std::size_t>(fd)].clear();
        return real_close(fd); // before another thread can be given the number
    }
    return real_close(fd);
}

KDXSIM_EXPORT int ioctl(int fd, unsigned long request, ...) __THROW {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    const NodeName node = node_of(fd);
    if (node[0] != '\0' && testbed() != nullptr && request == SG_IO) {
        return sg_ioctl(fd, node.data(), static_cast<sg_io_hdr_t *>(argument));
    }
    REAL(ioctl);
    return real_ioctl(fd, request, argument);
}

KDXSIM_EXPORT int access(const char *path, int mode) __THROW {
    REAL(access);
    char mapped[PATH_MAX];
    return real_access(redirect(path, mapped) ? mapped : path, mode);
}

KDXSIM_EXPORT char *realpath(const char *path, char *resolved) __THROW {
    REAL(realpath);
    char mapped[PATH_MAX];
    if (!redirect(path, mapped)) {
        return real_realpath(path, resolved);
    }
    char *result = real_realpath(mapped, resolved);
    if (result != nullptr) {
        unmap_resolved(result);
    }
    return result;
}

// Link targets in the testbed are relative, so they need no mapping back.
KDXSIM_EXPORT ssize_t readlink(const char *path, char *buffer, size_t size) __THROW {
    REAL(readlink);
    char mapped[PATH_MAX];
    return real_readlink(redirect(path, mapped) ? mapped : path, buffer, size);
}

KDXSIM_EXPORT char *__realpath_chk(const char *path, char *resolved, size_t) __THROW {
    return realpath(path, resolved);
}

KDXSIM_EXPORT DIR *opendir(const char *path) {
    REAL(opendir);
    char mapped[PATH_MAX];
    return real_opendir(redirect(path, mapped) ? mapped : path);
}

KDXSIM_EXPORT FILE *fopen(const char *path, const char *mode) {
    REAL(fopen);
    char mapped[PATH_MAX];
    return real_fopen(redirect(path, mapped) ? mapped : path, mode);
}

KDXSIM_EXPORT FILE *fopen64(const char *path, const char *mode) {
    REAL(fopen64);
    char mapped[PATH_MAX];
    return real_fopen64(redirect(path, mapped) ? mapped : path, mode);
}

KDXSIM_EXPORT int glob(const char *pattern, int flags, int (*errfunc)(const char *, int),
                       glob_t *result) __THROW {
    REAL(glob);
    REAL(globfree);
    char mapped[PATH_MAX];
    if (!redirect(pattern, mapped)) {
        return real_glob(pattern, flags, errfunc, result);
    }
    return redirected_glob(real_glob, real_globfree, mapped, flags, errfunc, result);
}

KDXSIM_EXPORT int glob64(const char *pattern, int flags, int (*errfunc)(const char *, int),
                         glob64_t *result) __THROW {
    REAL(glob64);
    REAL(globfree64);
    char mapped[PATH_MAX];
    if (!redirect(pattern, mapped)) {
        return real_glob64(pattern, flags, errfunc, result);
    }
    return redirected_glob(real_glob64, real_globfree64, mapped, flags, errfunc, result);
}
