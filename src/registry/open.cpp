// SPDX-License-Identifier: MIT
// Finding a module among the sg nodes by USB product ID and board ID.
#include "../internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glob.h>

namespace kdx {

namespace {

constexpr uint64_t kModuleDiskBytes = module_map::kDiskBytes;
constexpr std::size_t kInquiryLength = 96;
constexpr std::size_t kBoardIdByte = module_map::kInquiryBoardId;
constexpr std::size_t kVendorField = module_map::kInquiryVendor;
constexpr std::size_t kProductField = module_map::kInquiryProduct;
using module_map::kProductPrefix;
using module_map::kVendor;

// The sorted match list of one node search, released on every path.
class NodeList {
public:
    NodeList() = default;
    NodeList(const NodeList &) = delete;
    NodeList &operator=(const NodeList &) = delete;
    ~NodeList() { ::globfree(&list_); }
    bool search(const char *pattern) { return ::glob(pattern, 0, nullptr, &list_) == 0; }
    std::span<char *const> paths() const { return {list_.gl_pathv, list_.gl_pathc}; }

private:
    glob_t list_{};
};

// Opens a node whose disk is a module's 2 MiB and reads its INQUIRY data;
// otherwise an empty descriptor, with whatever was opened closed again and
// errno saying why: open's own errno, or ENODEV for a node that is no module.
Descriptor open_module_disk(const char *path, std::array<uint8_t, kInquiryLength> &inquiry) {
    // Close-on-exec: a child of the application must not inherit a module.
    Descriptor node{path, O_RDWR | O_NONBLOCK | O_CLOEXEC};
    if (!node) {
        return {};
    }
    inquiry.fill(0);
    if (getDiskSize(node.get()) != kModuleDiskBytes ||
        getInquiry(node.get(), inquiry.data(), kInquiryLength) != kInquiryLength) {
        errno = ENODEV;
        return {};
    }
    return node;
}

// "sg" and 1 to 7 digits: a name the kernel gives an sg node, and one that
// fits the slot's node column as "/dev/sgN".
bool is_sg_name(const char *name) {
    if (std::strncmp(name, "sg", 2) != 0 || name[2] == '\0') {
        return false;
    }
    for (const char *digit = name + 2; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || digit - name > 8) {
            return false;
        }
    }
    return true;
}

// Opens the node when it is the module asked for; errno says why not
// (ENODEV: another product or board, or no module). Only sgN names count: a
// longer name would not fit the slot's node column and the slot would then
// name some other node.
Descriptor open_matching_node(const char *path, uint16_t product_id, char board_char) {
    errno = ENODEV;
    if (std::strncmp(path, "/dev/", 5) != 0 || !is_sg_name(path + 5)) {
        return {};
    }
    const char *last_slash = path + 4;
    uint16_t found = 0;
    if (get_idproduct_from_sg(last_slash + 1, &found) != 0 || found != product_id) {
        errno = ENODEV;
        return {};
    }
    std::array<uint8_t, kInquiryLength> inquiry{};
    Descriptor node = open_module_disk(path, inquiry);
    if (node && inquiry[kBoardIdByte] != static_cast<uint8_t>(board_char)) {
        errno = ENODEV;
        return {};
    }
    return node;
}

// errno for a failed claim: the table is full, or the module did not
// answer with its info block.
int32_t claim_failed(int32_t result) {
    errno = result == OPEN_TABLE_FULL ? EMFILE : EIO;
    return result;
}

bool is_module_inquiry(std::span<const uint8_t, kInquiryLength> inquiry) {
    return std::memcmp(&inquiry[kVendorField], kVendor, std::strlen(kVendor)) == 0 &&
           std::memcmp(&inquiry[kProductField], kProductPrefix, std::strlen(kProductPrefix)) == 0;
}

// "/dev/sgN" or "sgN" as a /dev path; false for anything else.
bool node_path(const char *text, std::span<char> path) {
    const char *name = std::strncmp(text, "/dev/", 5) == 0 ? text + 5 : text;
    if (!is_sg_name(name)) {
        return false;
    }
    std::snprintf(path.data(), path.size(), "/dev/%s", name);
    return true;
}

} // namespace

} // namespace kdx

// errno on failure: EINVAL for a bad board ID; EACCES when a node of the
// product refused this user and nothing else opened; EMFILE for a full
// table; EIO when the module did not answer; ENOENT when nothing matched.
extern "C" int32_t KDX7400_OpenDevice(uint16_t product_id, uint8_t board_id) {
    kdx::NodeList nodes;
    if (!nodes.search("/dev/sg*")) {
        errno = ENOENT;
        return OPEN_NOT_FOUND;
    }
    if (board_id > 15) {
        errno = EINVAL;
        return OPEN_BAD_BOARD_ID;
    }
    const char board_char = "0123456789ABCDEF"[board_id];
    int why = ENOENT;
    for (const char *path : nodes.paths()) {
        kdx::Descriptor node = kdx::open_matching_node(path, product_id, board_char);
        if (!node) {
            // The board ID is only in the module's answers: a node of the
            // product that refused this user may be the one asked for.
            if (errno == EACCES || errno == EPERM) {
                why = EACCES;
            }
            continue;
        }
        const int32_t result = kdx::claim_slot(std::move(node), path);
        if (result >= 0) {
            return result;
        }
        if (kdx::claim_failed(result) == OPEN_TABLE_FULL) {
            return result;
        }
        why = why == EACCES ? why : EIO;
    }
    errno = why;
    return OPEN_NOT_FOUND;
}

// errno on failure: EINVAL for a bad path; open's errno (ENOENT, EACCES,
// ...); ENODEV for a node that is no module; EMFILE; EIO.
extern "C" int32_t KDX7400_OpenDevicePath(const char *path) {
    char node_path[32];
    if (path == nullptr || !kdx::node_path(path, node_path)) {
        errno = EINVAL;
        return OPEN_BAD_PATH;
    }
    std::array<uint8_t, kdx::kInquiryLength> inquiry{};
    kdx::Descriptor node = kdx::open_module_disk(node_path, inquiry);
    if (!node) {
        return OPEN_NOT_FOUND;
    }
    if (!kdx::is_module_inquiry(inquiry)) {
        errno = ENODEV;
        return OPEN_NOT_FOUND;
    }
    const int32_t result = kdx::claim_slot(std::move(node), node_path);
    return result >= 0 ? result : kdx::claim_failed(result);
}
