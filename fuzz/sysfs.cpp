// SPDX-License-Identifier: MIT
// What sysfs and the nodes tell the library while it opens and lists:
// class-directory names, the device link, idProduct texts at any level,
// the kernel's INQUIRY attribute, and each node's capacity and INQUIRY
// reply, all chosen by the fuzzer. Invariants: nothing outside /sys and the
// sg nodes is read, no node is written to, only a node that answered as a
// module (2 MiB, vendor, product, board) is opened, and the listings' texts
// are terminated, with nothing written past the caller's capacity.
#include "input.h"
#include "kdx7400.h"

#include <algorithm>
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
#include <map>
#include <scsi/sg.h>
#include <string>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

struct FakeNode {
    std::string name;
    std::string device;              // realpath of the device link; empty: none
    std::string class_link;          // the class entry's link target; empty: not a link
    std::string device_link;         // the device link's target
    std::vector<uint8_t> attribute;  // /sys/class/scsi_generic/NAME/device/inquiry
    std::vector<uint8_t> capacity;   // READ CAPACITY(10) reply
    std::vector<uint8_t> inquiry;    // INQUIRY reply
    int fd = -1;
};

// Only the library's calls inside one input see the fake tree; libFuzzer's
// own reading of its corpus goes to the real functions.
bool g_active = false;
// Where libFuzzer writes a crashing input, even while g_active.
std::string g_artifacts = "crash-";
std::vector<FakeNode> g_nodes;
std::map<std::string, std::string> g_files; // idProduct files by path
std::vector<std::string> g_globbed;
std::vector<char *> g_glob_paths;

fuzzing::Input g_input;

uint8_t next_byte() { return g_input.next(); }

std::vector<uint8_t> next_bytes(size_t most) {
    std::vector<uint8_t> bytes;
    for (size_t n = next_byte() % (most + 1); n > 0 && g_input.size > 0; --n) bytes.push_back(next_byte());
    return bytes;
}

std::string next_text(size_t most) {
    const auto bytes = next_bytes(most);
    return std::string(bytes.begin(), bytes.end());
}

[[noreturn]] void broken(const char *what, const std::string &detail) {
    g_active = false;
    std::fprintf(stderr, "invariant broken: %s: %s\n", what, detail.c_str());
    std::abort();
}

bool starts_with(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// False for libFuzzer's own artifact files, which go to the real functions.
bool check_path(const char *path) {
    if (starts_with(path, g_artifacts.c_str())) return false;
    if (!starts_with(path, "/sys/") && !starts_with(path, "/dev/sg")) broken("read outside sysfs", path);
    return true;
}

FakeNode *node_by_path(const char *path) {
    for (auto &node : g_nodes) {
        if (starts_with(path, "/dev/") && node.name == path + 5) return &node;
    }
    return nullptr;
}

FakeNode *node_by_fd(int fd) {
    for (auto &node : g_nodes) {
        if (node.fd == fd && fd >= 0) return &node;
    }
    return nullptr;
}

int memory_file(const std::string &contents) {
    const int fd = static_cast<int>(syscall(SYS_memfd_create, "fake", MFD_CLOEXEC));
    if (fd >= 0 && !contents.empty()) {
        if (::write(fd, contents.data(), contents.size()) < 0) return -1;
        ::lseek(fd, 0, SEEK_SET);
    }
    return fd;
}

void reply(sg_io_hdr_t *h, const std::vector<uint8_t> &bytes) {
    auto *data = static_cast<uint8_t *>(h->dxferp);
    std::memset(data, 0, h->dxfer_len);
    const size_t moved = std::min<size_t>(bytes.size(), h->dxfer_len);
    if (moved > 0) std::memcpy(data, bytes.data(), moved);
    h->resid = static_cast<int>(h->dxfer_len - moved);
}

int answer(FakeNode &node, sg_io_hdr_t *h) {
    const auto *cdb = static_cast<const uint8_t *>(h->cmdp);
    h->status = h->host_status = h->driver_status = 0;
    h->resid = 0;
    switch (cdb[0]) {
    case 0x25: reply(h, node.capacity); break;
    case 0x12: reply(h, node.inquiry); break;
    case 0x28: { // module info: a healthy 16-in/16-out module
        std::vector<uint8_t> info(128, 0);
        add_IDENTIFY_HEADER(info.data());
        info[72] = info[73] = 16;
        reply(h, info);
        break;
    }
    case 0x2A: broken("a node was written to while opening", node.name);
    default: break;
    }
    return 0;
}

bool answered_as_module(const FakeNode &node, int board_char) {
    const auto at = [&](size_t i) { return i < node.inquiry.size() ? node.inquiry[i] : 0; };
    bool vendor = true, product = true;
    for (size_t i = 0; i < 6; ++i) vendor = vendor && at(8 + i) == static_cast<uint8_t>("KALMIR"[i]);
    for (size_t i = 0; i < 6; ++i) product = product && at(16 + i) == static_cast<uint8_t>("KDX-74"[i]);
    const auto word = [&](size_t i) {
        return uint64_t{node.capacity[i]} << 24 | uint64_t{node.capacity[i + 1]} << 16 |
               uint64_t{node.capacity[i + 2]} << 8 | node.capacity[i + 3];
    };
    const bool two_mib_disk = node.capacity.size() >= 8 && (word(0) + 1) * word(4) == 2u << 20;
    // By IDs the USB product ID and the board byte say which module it is;
    // by path, with neither key given, the INQUIRY names must.
    return two_mib_disk && (board_char >= 0 ? at(31) == board_char : vendor && product);
}

const std::string kUsbDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
const std::string kScsiDevice = kUsbDevice + "/1-2:1.0/host4/target4:0:0/4:0:0:0";

void build_tree() {
    g_nodes.clear();
    g_files.clear();
    const unsigned count = 1 + next_byte() % 4;
    for (unsigned n = 0; n < count; ++n) {
        FakeNode node;
        const uint8_t flags = next_byte();
        node.name = (flags & 1) != 0 ? "sg" + std::to_string(next_byte()) : next_text(40);
        // A directory holds each name once.
        while (std::any_of(g_nodes.begin(), g_nodes.end(), [&](const FakeNode &o) { return o.name == node.name; })) {
            node.name += '0';
        }
        node.device = (flags & 2) != 0 ? kScsiDevice : next_text(80);
        if ((flags & 64) != 0) {
            node.class_link = "../.." + kScsiDevice.substr(4) + "/scsi_generic/" + node.name;
            node.device_link = "../..";
        } else {
            node.class_link = next_text(60);
            node.device_link = next_text(30);
        }
        if ((flags & 4) != 0) {
            g_files[kUsbDevice + "/idProduct"] = "7401\n";
        } else {
            std::string directory = node.device;
            for (unsigned level = next_byte() % 14; level > 0 && directory.rfind('/') != std::string::npos;
                 --level) {
                directory.resize(directory.rfind('/'));
            }
            g_files[directory + "/idProduct"] = next_text(8);
        }
        if ((flags & 8) != 0) {
            const std::string text = "KALMIR  KDX-7401        #" + std::string(1, static_cast<char>(next_byte()));
            node.attribute.assign(text.begin(), text.end());
        } else {
            node.attribute = next_bytes(300);
        }
        node.capacity = (flags & 16) != 0 ? std::vector<uint8_t>{0, 0, 0x0F, 0xFF, 0, 0, 2, 0} : next_bytes(8);
        if ((flags & 32) != 0) {
            node.inquiry.assign(96, ' ');
            std::memcpy(node.inquiry.data() + 8, "KALMIR  KDX-7401", 16);
            node.inquiry[30] = '#';
            node.inquiry[31] = next_byte();
        } else {
            node.inquiry = next_bytes(96);
        }
        g_nodes.push_back(std::move(node));
    }
}

template <class Function> Function *real(const char *name) {
    return reinterpret_cast<Function *>(::dlsym(RTLD_NEXT, name));
}

} // namespace

// ---- the kernel boundary, answered from the tree above -------------------

extern "C" int glob(const char *pattern, int flags, int (*errors)(const char *, int), glob_t *list) {
    if (!g_active) return real<decltype(glob)>("glob")(pattern, flags, errors, list);
    if (std::strcmp(pattern, "/dev/sg*") != 0) broken("unexpected glob", pattern);
    g_globbed.clear();
    for (const auto &node : g_nodes) {
        if (node.name.rfind("sg", 0) == 0 && node.name.find('/') == std::string::npos) {
            g_globbed.push_back("/dev/" + node.name);
        }
    }
    std::sort(g_globbed.begin(), g_globbed.end());
    g_glob_paths.clear();
    for (auto &path : g_globbed) g_glob_paths.push_back(path.data());
    g_glob_paths.push_back(nullptr);
    list->gl_pathc = g_globbed.size();
    list->gl_pathv = g_glob_paths.data();
    return g_globbed.empty() ? GLOB_NOMATCH : 0;
}

extern "C" void globfree(glob_t *list) {
    if (!g_active) return real<decltype(globfree)>("globfree")(list);
    list->gl_pathc = 0;
    list->gl_pathv = nullptr;
}

extern "C" char *realpath(const char *path, char *resolved) {
    if (!g_active) return real<decltype(realpath)>("realpath")(path, resolved);
    check_path(path);
    for (const auto &node : g_nodes) {
        if (path == "/sys/class/scsi_generic/" + node.name + "/device" && !node.device.empty() &&
            node.device.size() < PATH_MAX) {
            std::memcpy(resolved, node.device.c_str(), node.device.size() + 1);
            return resolved;
        }
    }
    errno = ENOENT;
    return nullptr;
}

extern "C" ssize_t readlink(const char *path, char *buffer, size_t size) {
    if (!g_active) return real<decltype(readlink)>("readlink")(path, buffer, size);
    check_path(path);
    const std::string text = path;
    for (const auto &node : g_nodes) {
        const std::string entry = "/sys/class/scsi_generic/" + node.name;
        const std::string *target = text == entry                                        ? &node.class_link
                                    : text.size() > 7 && text.ends_with("/device") ? &node.device_link
                                                                                   : nullptr;
        if (target != nullptr && !target->empty()) {
            const size_t length = std::min(target->size(), size);
            std::memcpy(buffer, target->data(), length);
            return static_cast<ssize_t>(length);
        }
    }
    errno = EINVAL;
    return -1;
}

extern "C" int access(const char *path, int how) {
    if (!g_active) return real<decltype(access)>("access")(path, how);
    check_path(path);
    if (g_files.count(path) != 0) return 0;
    errno = ENOENT;
    return -1;
}

extern "C" int open(const char *path, int flags, ...) {
    if (!g_active || !check_path(path)) {
        va_list args;
        va_start(args, flags);
        const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
        va_end(args);
        return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
    }
    if (FakeNode *node = node_by_path(path)) {
        node->fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR | O_CLOEXEC));
        return node->fd;
    }
    const auto file = g_files.find(path);
    if (file == g_files.end()) {
        errno = ENOENT;
        return -1;
    }
    return memory_file(file->second);
}

extern "C" std::FILE *fopen(const char *path, const char *mode) {
    if (!g_active || !check_path(path)) return real<std::FILE *(const char *, const char *)>("fopen")(path, mode);
    if (std::strcmp(mode, "rb") != 0 && std::strcmp(mode, "r") != 0) broken("a sysfs file opened to write", path);
    for (const auto &node : g_nodes) {
        if (path == "/sys/class/scsi_generic/" + node.name + "/device/inquiry") {
            const int fd = memory_file(std::string(node.attribute.begin(), node.attribute.end()));
            return fd < 0 ? nullptr : ::fdopen(fd, "rb");
        }
    }
    errno = ENOENT;
    return nullptr;
}

namespace {
struct FakeDirectory {
    size_t next = 0;
    dirent entry{};
};
} // namespace

extern "C" DIR *opendir(const char *path) {
    if (!g_active) return real<decltype(opendir)>("opendir")(path);
    if (std::strcmp(path, "/sys/class/scsi_generic/") != 0 && std::strcmp(path, "/sys/class/scsi_generic") != 0) {
        broken("unexpected directory", path);
    }
    return reinterpret_cast<DIR *>(new FakeDirectory);
}

extern "C" dirent *readdir(DIR *handle) {
    if (!g_active) return real<decltype(readdir)>("readdir")(handle);
    auto *directory = reinterpret_cast<FakeDirectory *>(handle);
    if (directory->next >= g_nodes.size()) return nullptr;
    const std::string &name = g_nodes[directory->next++].name;
    std::snprintf(directory->entry.d_name, sizeof directory->entry.d_name, "%s", name.c_str());
    return &directory->entry;
}

extern "C" int closedir(DIR *handle) {
    if (!g_active) return real<decltype(closedir)>("closedir")(handle);
    delete reinterpret_cast<FakeDirectory *>(handle);
    return 0;
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (FakeNode *node = node_by_fd(fd); node != nullptr && request == SG_IO) {
        return answer(*node, static_cast<sg_io_hdr_t *>(argument));
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}

namespace {

void check_opened(int32_t index, int board_char, const char *how) {
    if (index < 0) return;
    char path[32] = {};
    if (KDX7400_GetDeviceNode(index, path, sizeof path) != RESULT_OK) broken("no node for an open slot", how);
    const FakeNode *node = node_by_path(path);
    if (node == nullptr || !answered_as_module(*node, board_char)) {
        std::string detail = std::string(how) + " " + path + " capacity";
        for (uint8_t b : node->capacity) detail += " " + std::to_string(b);
        detail += " inquiry";
        for (uint8_t b : node->inquiry) detail += " " + std::to_string(b);
        broken("a non-module was opened", detail);
    }
    if (KDX7400_CloseDevice(index) != RESULT_OK) broken("an open slot did not close", how);
}

void check_listing(size_t capacity) {
    kdx7400_device_entry entries[4];
    std::memset(entries, 0xA5, sizeof entries);
    size_t count = 99;
    const int16_t result = KDX7400_GetDeviceList(entries, capacity, &count);
    if (result != RESULT_OK && result != RESULT_BUFFER_TOO_SMALL) broken("listing failed", std::to_string(result));
    if (count > g_nodes.size()) broken("more modules listed than nodes", std::to_string(count));
    for (size_t j = 0; j < 4; ++j) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(&entries[j]);
        if (j >= capacity || j >= count) {
            for (size_t b = 0; b < sizeof entries[j]; ++b) {
                if (bytes[b] != 0xA5) broken("an entry past the listing was written", std::to_string(j));
            }
            continue;
        }
        const kdx7400_device_entry &e = entries[j];
        if (std::memchr(e.node, '\0', sizeof e.node) == nullptr ||
            std::memchr(e.product_name, '\0', sizeof e.product_name) == nullptr ||
            std::memchr(e.display_name, '\0', sizeof e.display_name) == nullptr) {
            broken("a listed text is not terminated", std::to_string(j));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    for (int i = 1; i < *argc; ++i) {
        if (starts_with((*argv)[i], "-artifact_prefix=")) g_artifacts = (*argv)[i] + 17;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    g_input = {data, size};
    build_tree();
    g_active = true;
    const auto product_id = static_cast<uint16_t>((next_byte() & 1) != 0 ? 0x7401 : next_byte() << 8 | next_byte());
    const uint8_t board_id = next_byte() % 17;
    check_opened(KDX7400_OpenDevice(product_id, board_id), board_id < 16 ? "0123456789ABCDEF"[board_id] : -1,
                 "by IDs");
    const std::string path = (next_byte() & 1) != 0 ? "/dev/" + g_nodes[0].name : next_text(40);
    check_opened(KDX7400_OpenDevicePath(path.c_str()), -1, "by path");
    check_listing(next_byte() % 5);
    KDX7400_ListDevice();
    g_active = false;
    return 0;
}
