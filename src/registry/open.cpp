// Finding a module among the sg nodes by USB product ID and board ID.
#include "../internal.h"

#include <cstring>
#include <fcntl.h>
#include <glob.h>

namespace kdx {

namespace {

constexpr uint64_t kModuleDiskBytes = 4096 * 512;
constexpr std::size_t kInquiryLength = 96;
constexpr std::size_t kBoardIdByte = 31;

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

// Opens the node when it is the module asked for; otherwise an empty
// descriptor, with whatever was opened on the way closed again.
Descriptor open_matching_node(const char *path, uint16_t product_id, char board_char) {
    const char *last_slash = std::strrchr(path, '/');
    if (last_slash == nullptr) {
        return {};
    }
    uint16_t found = 0;
    if (get_idproduct_from_sg(last_slash + 1, &found) != 0 || found != product_id) {
        return {};
    }
    // Close-on-exec: a child of the application must not inherit a module.
    Descriptor node{::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC)};
    if (!node) {
        return {};
    }
    if (getDiskSize(node.get()) != kModuleDiskBytes) {
        return {};
    }
    std::array<uint8_t, kInquiryLength> inquiry{};
    if (getInquiry(node.get(), inquiry.data(), kInquiryLength) != kInquiryLength) {
        return {};
    }
    if (inquiry[kBoardIdByte] != static_cast<uint8_t>(board_char)) {
        return {};
    }
    return node;
}

} // namespace

} // namespace kdx

extern "C" int32_t KDX7400_OpenDevice(uint16_t product_id, uint8_t board_id) {
    kdx::NodeList nodes;
    if (!nodes.search("/dev/sg*")) {
        return OPEN_NOT_FOUND;
    }
    if (board_id > 15) {
        return OPEN_BAD_BOARD_ID;
    }
    const char board_char = "0123456789ABCDEF"[board_id];
    for (const char *path : nodes.paths()) {
        kdx::Descriptor node = kdx::open_matching_node(path, product_id, board_char);
        if (!node) {
            continue;
        }
        module_slot *free_slot = kdx::first_free_slot();
        if (free_slot == nullptr) {
            return OPEN_TABLE_FULL;
        }
        free_slot->fd = node.release();
        if (module_init(free_slot) == RESULT_OK) {
            return kdx::index_of(*free_slot);
        }
        // Without its counts every field width would be wrong: not claimed.
        kdx::Descriptor rejected{free_slot->fd};
        free_slot->fd = -1;
        free_slot->initialized = 0;
    }
    return OPEN_NOT_FOUND;
}
