// SPDX-License-Identifier: MIT
// Listing the modules present from the INQUIRY data that the kernel keeps
// in sysfs; no node is opened and the module table is not touched.
#include "../internal.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>

namespace kdx {

namespace {

constexpr const char *kClassDirectory = "/sys/class/scsi_generic/";
using module_map::kProductPrefix;
using module_map::kVendor;
constexpr std::size_t kMaxListed = 32;
constexpr std::size_t kRawBytes = 256;
constexpr std::size_t kFilteredChars = 255;

struct ListedModule {
    char node[32];
    char name[32];
    char bid_char;
};

class Directory {
public:
    explicit Directory(const char *path) : handle_(::opendir(path)) {}
    Directory(const Directory &) = delete;
    Directory &operator=(const Directory &) = delete;
    ~Directory() {
        if (handle_ != nullptr) {
            ::closedir(handle_);
        }
    }
    explicit operator bool() const { return handle_ != nullptr; }
    const dirent *next() { return ::readdir(handle_); }

private:
    DIR *handle_;
};

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

// The byte after the first '#', or 0 when none follows one.
char board_char(std::span<const uint8_t> raw) {
    const auto *hash = static_cast<const uint8_t *>(std::memchr(raw.data(), '#', raw.size()));
    if (hash == nullptr || hash + 1 == raw.data() + raw.size()) {
        return 0;
    }
    return static_cast<char>(hash[1]);
}

// Reads one node's INQUIRY attribute; false when it is not a module.
bool read_module(const char *node, ListedModule &module) {
    char path[256];
    std::snprintf(path, sizeof path, "%s%s/%s", kClassDirectory, node, "device/inquiry");
    std::array<uint8_t, kRawBytes> raw{};
    std::size_t raw_length = 0;
    {
        const std::unique_ptr<std::FILE, FileCloser> file{std::fopen(path, "rb")};
        if (!file) {
            return false;
        }
        // One read into our own buffer: no stream buffer on the heap.
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
        raw_length = std::fread(raw.data(), 1, raw.size(), file.get());
    }
    if (raw_length == 0) {
        return false;
    }
    char text[kFilteredChars + 1] = {};
    std::size_t text_length = 0;
    for (std::size_t i = 0; i < raw_length && text_length < kFilteredChars; ++i) {
        if (std::isprint(raw[i]) || raw[i] == ' ') {
            text[text_length++] = static_cast<char>(raw[i]);
        }
    }
    const char *product = std::strstr(text, kProductPrefix);
    if (std::strstr(text, kVendor) == nullptr || product == nullptr) {
        return false;
    }
    std::snprintf(module.node, sizeof module.node, "%s", node);
    std::snprintf(module.name, sizeof module.name, "%s", product);
    module.bid_char = board_char({raw.data(), raw_length});
    return true;
}

// The name up to its first space, first hyphen dropped, second one '_'.
void display_name(const char *name, char *out, std::size_t out_size) {
    std::size_t length = 0;
    int hyphens = 0;
    for (const char *c = name; *c != '\0' && *c != ' ' && length + 1 < out_size; ++c) {
        if (*c == '-') {
            ++hyphens;
            if (hyphens == 1) {
                continue;
            }
            if (hyphens == 2) {
                out[length++] = '_';
                continue;
            }
        }
        out[length++] = *c;
    }
    out[length] = '\0';
}

// The scan both the listing and the device list use: at most 32 modules,
// in directory order for the printed listing, in node order (sg2 before
// sg10, the lowest 32) for the device list that tools show.
// RESULT_OPENDIR_FAILED leaves errno from opendir.
enum class Order { directory, node };
Result scan(std::span<ListedModule, kMaxListed> modules, std::size_t &count, Order order) {
    count = 0;
    Directory directory{kClassDirectory};
    if (!directory) {
        return RESULT_OPENDIR_FAILED;
    }
    while (const dirent *entry = directory.next()) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        ListedModule module{};
        if (!read_module(entry->d_name, module)) {
            continue;
        }
        if (order == Order::directory && count == kMaxListed) {
            break;
        }
        // Insertion into the sorted list; past 32, the highest node drops.
        std::size_t at = count;
        while (order == Order::node && at > 0 && node_number_before(module.node, modules[at - 1].node)) {
            --at;
        }
        if (at == kMaxListed) {
            continue;
        }
        const std::size_t last = count < kMaxListed ? count : kMaxListed - 1;
        for (std::size_t j = last; j > at; --j) {
            modules[j] = modules[j - 1];
        }
        modules[at] = module;
        count = last + 1;
    }
    return RESULT_OK;
}

} // namespace

} // namespace kdx

extern "C" {

int16_t KDX7400_ListDevice(void) {
    std::array<kdx::ListedModule, kdx::kMaxListed> modules{};
    std::size_t count = 0;
    if (kdx::scan(modules, count, kdx::Order::directory) != RESULT_OK) {
        std::perror("opendir");
        return RESULT_OPENDIR_FAILED;
    }
    if (count == 0) {
        std::puts("No KDX-7400 devices found.");
        return RESULT_OK;
    }
    std::printf("Found %zu KDX-7400 device(s):\n", count);
    for (std::size_t j = 0; j < count; ++j) {
        char shown[32];
        kdx::display_name(modules[j].name, shown, sizeof shown);
        std::printf(" [%zu] PID=%s  BID=0x%c\n", j, shown, modules[j].bid_char);
    }
    return RESULT_OK;
}

int16_t KDX7400_GetDeviceList(kdx7400_device_entry *entries, size_t capacity, size_t *count) {
    if (count == nullptr || (entries == nullptr && capacity > 0)) {
        return RESULT_INVALID_PARAM;
    }
    std::array<kdx::ListedModule, kdx::kMaxListed> modules{};
    std::size_t found = 0;
    const kdx::Result result = kdx::scan(modules, found, kdx::Order::node);
    *count = found;
    if (result != RESULT_OK) {
        return result;
    }
    for (std::size_t j = 0; j < found && j < capacity; ++j) {
        kdx7400_device_entry &entry = entries[j];
        entry = kdx7400_device_entry{};
        std::memcpy(entry.node, modules[j].node, sizeof entry.node);
        std::memcpy(entry.product_name, modules[j].name, sizeof entry.product_name);
        kdx::display_name(modules[j].name, entry.display_name, sizeof entry.display_name);
        entry.bid_char = modules[j].bid_char;
        entry.has_product_id = kdx::get_idproduct_from_sg(entry.node, &entry.product_id) == 0;
    }
    return found > capacity ? RESULT_BUFFER_TOO_SMALL : RESULT_OK;
}

int16_t KDX7400_GetModuleList(kdx7400_module_entry *entries, size_t capacity, size_t *count) {
    if (count == nullptr || (entries == nullptr && capacity > 0)) {
        return RESULT_INVALID_PARAM;
    }
    std::array<kdx7400_device_entry, kdx::kMaxListed> raw{};
    const int16_t result = KDX7400_GetDeviceList(raw.data(), raw.size(), count);
    if (result != RESULT_OK && result != RESULT_BUFFER_TOO_SMALL) {
        return result;
    }
    for (std::size_t j = 0; j < *count && j < capacity && j < raw.size(); ++j) {
        const kdx7400_device_entry &from = raw[j];
        kdx7400_module_entry &entry = entries[j];
        entry = kdx7400_module_entry{};
        std::snprintf(entry.node, sizeof entry.node, "/dev/%.*s", static_cast<int>(sizeof from.node), from.node);
        entry.product_id = from.product_id;
        entry.has_product_id = from.has_product_id;
        const char c = from.bid_char;
        entry.board_id = c >= '0' && c <= '9' ? static_cast<int16_t>(c - '0')
                         : c >= 'A' && c <= 'F' ? static_cast<int16_t>(c - 'A' + 10)
                                                : int16_t{-1};
        std::memcpy(entry.name, from.display_name, sizeof entry.name - 1);
        // The revision follows the product field.
        std::size_t length = strnlen(from.product_name, kdx::module_map::kInquiryProductBytes);
        while (length > 0 && from.product_name[length - 1] == ' ') --length;
        std::memcpy(entry.product, from.product_name, length);
    }
    return *count > capacity ? RESULT_BUFFER_TOO_SMALL : RESULT_OK;
}

} // extern "C"
