// The USB product ID of an sg node is only visible in sysfs, on the USB
// device some levels above the node's SCSI device.
#include "../internal.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kdx {

namespace {

constexpr int kMaxWalkLevels = 12;
constexpr std::size_t kPathBytes = 4096;

// Reads a non-empty idProduct file; false when it is unreadable or empty.
bool read_product_id(const char *path, uint16_t *product_id) {
    if (::access(path, R_OK) != 0) {
        return false;
    }
    const Descriptor file{::open(path, O_RDONLY | O_CLOEXEC)};
    if (!file) {
        return false;
    }
    char text[64] = {};
    const ssize_t length = ::read(file.get(), text, sizeof text - 1);
    if (length <= 0) {
        return false;
    }
    text[length] = '\0';
    text[std::strcspn(text, "\r\n")] = '\0';
    *product_id = static_cast<uint16_t>(std::strtol(text, nullptr, 16));
    return true;
}

} // namespace

Descriptor::~Descriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int get_idproduct_from_sg(const char *node, uint16_t *product_id) {
    if (node == nullptr || product_id == nullptr) {
        return -1;
    }
    char link[kPathBytes];
    std::snprintf(link, sizeof link, "/sys/class/scsi_generic/%s/device", node);
    static_assert(kPathBytes >= PATH_MAX, "realpath writes up to PATH_MAX bytes");
    char directory[kPathBytes];
    if (::realpath(link, directory) == nullptr) {
        return -1;
    }
    for (int level = 1; level <= kMaxWalkLevels; ++level) {
        // A node with no USB device above it would take the walk out of
        // sysfs, where any idProduct file could make a disk pass for a module.
        if (std::strcmp(directory, "/sys") != 0 && std::strncmp(directory, "/sys/", 5) != 0) {
            return -1;
        }
        char file[kPathBytes];
        // A longer path is cut; the cut name then simply finds no file.
        if (std::snprintf(file, sizeof file, "%s/idProduct", directory) < 0) {
            return -1;
        }
        if (read_product_id(file, product_id)) {
            return 0;
        }
        char *last_slash = std::strrchr(directory, '/');
        if (last_slash == nullptr) {
            return -1;
        }
        *last_slash = '\0';
    }
    return -1;
}

} // namespace kdx
