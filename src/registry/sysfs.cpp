// SPDX-License-Identifier: MIT
// The USB product ID of an sg node is only visible in sysfs, on the USB
// device some levels above the node's SCSI device.
#include "../internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace kdx {

namespace {

constexpr int kMaxWalkLevels = 12;
constexpr std::size_t kPathBytes = 4096;
constexpr std::string_view kClassDirectory = "/sys/class/scsi_generic";

// A path built in place with plain copies: the walk builds a dozen paths
// per node, and formatting them costs more than the rest of the walk. A
// path that would not fit marks itself cut and then finds no file.
class Path {
public:
    explicit Path(std::string_view text) {
        text_[0] = '\0';
        append(text);
    }
    void append(std::string_view text) {
        if (length_ + text.size() >= sizeof text_) {
            cut_ = true;
            return;
        }
        std::memcpy(text_ + length_, text.data(), text.size());
        length_ += text.size();
        text_[length_] = '\0';
    }
    // Drops the last component ("/sys" becomes "").
    void pop() {
        while (length_ > 0 && text_[--length_] != '/') {
        }
        text_[length_] = '\0';
    }
    // Follows a relative link target from this directory, component by
    // component; an absolute one replaces the path.
    void follow(std::string_view target) {
        if (target.starts_with('/')) {
            length_ = 0;
            text_[0] = '\0';
        }
        while (!target.empty()) {
            // Not substr: its range check would pull in a throwing libstdc++ helper.
            const std::size_t slash = std::min(target.find('/'), target.size());
            const std::string_view part{target.data(), slash};
            target.remove_prefix(std::min(slash + 1, target.size()));
            if (part.empty() || part == ".") {
                continue;
            }
            if (part == "..") {
                pop();
                continue;
            }
            append("/");
            append(part);
        }
    }
    bool cut() const { return cut_; }
    bool in_sysfs() const {
        const std::string_view text{text_, length_};
        return text == "/sys" || text.starts_with("/sys/");
    }
    const char *c_str() const { return text_; }
    std::string_view view() const { return {text_, length_}; }

private:
    char text_[kPathBytes]; // not cleared: only the first length_ + 1 bytes count
    std::size_t length_ = 0;
    bool cut_ = false;
};

// Reads a non-empty idProduct file; false when it is unreadable or empty.
// The open alone tells whether the file is there and readable.
bool read_product_id(const char *path, uint16_t *product_id) {
    const Descriptor file{path, O_RDONLY | O_CLOEXEC};
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

// Follows the link at directory/name into directory. 0, or errno (EINVAL:
// not a link).
int follow_link(Path &directory, std::string_view name) {
    Path link{directory.view()};
    link.append("/");
    link.append(name);
    char target[kPathBytes];
    const ssize_t length = link.cut() ? -1 : ::readlink(link.c_str(), target, sizeof target);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
        return length < 0 && !link.cut() ? errno : ENAMETOOLONG;
    }
    directory.follow({target, static_cast<std::size_t>(length)});
    return directory.cut() ? ENAMETOOLONG : 0;
}

// The directory the node's device link leads to. Below /sys/devices every
// step is a real directory, so two readlinks (the class entry, then its
// device link) do what realpath does with one readlink per component.
// Where either is not a link, realpath decides.
bool device_directory(const char *node, Path &directory) {
    int error = follow_link(directory, node);
    if (error == 0 && !directory.in_sysfs()) {
        return false; // nothing outside sysfs is looked at
    }
    if (error == 0) {
        error = follow_link(directory, "device");
    }
    if (error == EINVAL) {
        Path link{kClassDirectory};
        link.append("/");
        link.append(node);
        link.append("/device");
        char resolved[kPathBytes];
        static_assert(kPathBytes >= PATH_MAX, "realpath writes up to PATH_MAX bytes");
        if (link.cut() || ::realpath(link.c_str(), resolved) == nullptr) {
            return false;
        }
        directory = Path{resolved};
        return true;
    }
    return error == 0;
}

} // namespace


bool node_number_before(const char *a, const char *b) {
    // The digits at the end of each name: fewer digits is a smaller number.
    const auto digits = [](const char *name) {
        std::size_t length = std::strlen(name);
        std::size_t start = length;
        while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') {
            --start;
        }
        return std::pair{length - start, name + start};
    };
    const auto [a_count, a_digits] = digits(a);
    const auto [b_count, b_digits] = digits(b);
    if (a_count != b_count) {
        return a_count < b_count;
    }
    const int order = std::strcmp(a_digits, b_digits);
    return order != 0 ? order < 0 : std::strcmp(a, b) < 0;
}

int get_idproduct_from_sg(const char *node, uint16_t *product_id) {
    if (node == nullptr || product_id == nullptr) {
        return -1;
    }
    Path directory{kClassDirectory};
    if (!device_directory(node, directory)) {
        return -1;
    }
    for (int level = 1; level <= kMaxWalkLevels; ++level) {
        // A node with no USB device above it would take the walk out of
        // sysfs, where any idProduct file could make a disk pass for a module.
        if (!directory.in_sysfs()) {
            return -1;
        }
        Path file{directory.view()};
        file.append("/idProduct");
        if (!file.cut() && read_product_id(file.c_str(), product_id)) {
            return 0;
        }
        directory.pop();
    }
    return -1;
}

} // namespace kdx
