// SPDX-License-Identifier: MIT
// What sysfs and the nodes tell the library while it opens and lists, over
// the sim's own testbed: its sysfs tree and sg nodes, reached through the
// sim's interposer compiled into this target. Per input 1 to 4 modules,
// with their node numbers, USB product IDs, idProduct texts, SCSI levels,
// vendor, product, disk size, INQUIRY attribute and replies, and where
// their class entries and device links lead, chosen by the fuzzer, and
// stray entries in the class directory.
// Invariants: no node is written to, the idProduct walk stays in sysfs,
// only a node that answers as a module (2 MiB, vendor, product, board) is
// opened, and the listings' texts are terminated, with nothing written
// past the caller's capacity.
#include "input.h"
#include "kdx7400.h"
#include "module_map.h"
#include "testbed.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <scsi/sg.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

namespace map = kdx::module_map;
namespace fs = std::filesystem;

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

// A name a directory can hold: no '/', no NUL, not "." or "..".
std::string next_name(size_t most) {
    std::string name = next_text(most);
    std::replace(name.begin(), name.end(), '/', '_');
    std::replace(name.begin(), name.end(), '\0', '_');
    return name.empty() || name == "." || name == ".." ? "x" + name : name;
}

[[noreturn]] void broken(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s: %s\n", what, detail.c_str());
    std::abort();
}

// A module's reply to one command, as the library would get it.
std::vector<uint8_t> ask(const std::string &node, uint8_t opcode, uint8_t length) {
    std::vector<uint8_t> reply(length, 0);
    const int fd = ::open(("/dev/" + node).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    uint8_t cdb[10] = {opcode};
    if (opcode == 0x12) cdb[4] = length;
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = opcode == 0x12 ? 6 : 10;
    h.cmdp = cdb;
    h.dxfer_direction = SG_DXFER_FROM_DEV;
    h.dxfer_len = length;
    h.dxferp = reply.data();
    h.timeout = 2000;
    const bool answered = ::ioctl(fd, SG_IO, &h) == 0 && h.status == 0 && h.host_status == 0 &&
                          (h.driver_status & 0x0F) == 0 && h.resid == 0;
    ::close(fd);
    return answered ? reply : std::vector<uint8_t>{};
}

bool answered_as_module(const std::string &node, int board_char) {
    const std::vector<uint8_t> inquiry = ask(node, 0x12, 96);
    const std::vector<uint8_t> capacity = ask(node, 0x25, 8);
    const auto at = [&](size_t i) { return i < inquiry.size() ? inquiry[i] : 0; };
    const auto names = [&](size_t field, const char *text) {
        for (size_t i = 0; text[i] != '\0'; ++i) {
            if (at(field + i) != static_cast<uint8_t>(text[i])) return false;
        }
        return true;
    };
    const auto word = [&](size_t i) {
        return uint64_t{capacity[i]} << 24 | uint64_t{capacity[i + 1]} << 16 | uint64_t{capacity[i + 2]} << 8 |
               capacity[i + 3];
    };
    const bool two_mib_disk = capacity.size() == 8 && (word(0) + 1) * word(4) == map::kDiskBytes;
    // By IDs the USB product ID and the board byte say which module it is;
    // by path, with neither key given, the INQUIRY names must.
    return two_mib_disk && (board_char >= 0 ? at(map::kInquiryBoardId) == board_char
                                            : names(map::kInquiryVendor, map::kVendor) &&
                                                  names(map::kInquiryProduct, map::kProductPrefix));
}

void build_tree(kdxsim::Testbed &bed) {
    for (unsigned n = 1 + next_byte() % 4; n > 0; --n) {
        kdxsim::VirtualModule wanted;
        const uint8_t flags = next_byte();
        wanted.number = next_byte() % 12;
        wanted.product_id = (flags & 1) != 0 ? 0x7401 : static_cast<uint16_t>(next_byte() << 8 | next_byte());
        wanted.board_id = next_byte() % 16;
        wanted.usb = (flags & 2) == 0;
        wanted.extra_levels = next_byte() % 14;
        if ((flags & 4) != 0) wanted.id_product_text = next_text(8);
        if ((flags & 8) != 0) wanted.vendor = next_text(8);
        if ((flags & 16) != 0) wanted.product = next_text(16);
        if ((flags & 32) != 0) {
            wanted.blocks = static_cast<uint32_t>(next_byte() << 8 | next_byte());
            wanted.block_length = static_cast<uint32_t>(next_byte() << 8 | next_byte());
        }
        std::string node;
        try {
            node = bed.add_module(wanted);
        } catch (const std::invalid_argument &) {
            continue; // that node exists already
        }
        if ((flags & 64) != 0) bed.write_sysfs_inquiry(node, next_bytes(300));
        // The node's class entry, or its device link, led anywhere else.
        const uint8_t links = next_byte();
        if ((links & 3) != 0) {
            const fs::path entry = bed.root() + "/sys/class/scsi_generic/" + node;
            const fs::path link = (links & 1) != 0 ? entry : fs::canonical(entry) / "device";
            std::error_code ignored;
            fs::remove(link, ignored);
            fs::create_symlink(next_text(60), link, ignored);
        }
        if ((flags & 128) != 0) {
            // Replies that say other things, to every command of that kind.
            kdxsim::Fault fault;
            std::snprintf(fault.node, sizeof fault.node, "%s", node.c_str());
            fault.opcode = (next_byte() & 1) != 0 ? 0x12 : 0x25;
            fault.times = 0;
            fault.kind = kdxsim::FaultKind::ChosenBytes;
            fault.offset = next_byte() % 96;
            fault.length = static_cast<uint16_t>(next_byte() % (sizeof fault.bytes + 1));
            for (uint16_t i = 0; i < fault.length; ++i) fault.bytes[i] = next_byte();
            bed.inject(fault);
        }
    }
    // Strays beside the nodes: links that lead anywhere, or plain files.
    const fs::path class_dir = bed.root() + "/sys/class/scsi_generic";
    for (unsigned n = next_byte() % 3; n > 0; --n) {
        const fs::path entry = class_dir / next_name(40);
        std::error_code ignored;
        if ((next_byte() & 1) != 0) {
            fs::create_symlink(next_text(60), entry, ignored);
        } else {
            std::FILE *file = std::fopen(entry.c_str(), "w");
            if (file != nullptr) std::fclose(file);
        }
    }
}

void check_bed(const kdxsim::Testbed &bed) {
    for (const std::string &line : bed.store().log_lines()) {
        if (line.starts_with("idproduct path=") && !line.substr(15).starts_with("/sys/")) {
            broken("the walk left sysfs", line);
        }
    }
    for (const kdxsim::Command &command : bed.transfers()) {
        if (!command.cdb.empty() && command.cdb[0] == 0x2A) broken("a node was written to", command.node);
    }
}

void check_opened(int32_t index, int board_char, const char *how) {
    if (index < 0) return;
    char path[32] = {};
    if (KDX7400_GetDeviceNode(index, path, sizeof path) != RESULT_OK) broken("no node for an open slot", how);
    if (std::strncmp(path, "/dev/", 5) != 0 || !answered_as_module(path + 5, board_char)) {
        broken("a non-module was opened", std::string(how) + " " + path);
    }
    if (KDX7400_CloseDevice(index) != RESULT_OK) broken("an open slot did not close", how);
}

void check_listing(size_t capacity, size_t nodes) {
    kdx7400_device_entry entries[4];
    std::memset(entries, 0xA5, sizeof entries);
    size_t count = 99;
    const int16_t result = KDX7400_GetDeviceList(entries, capacity, &count);
    if (result != RESULT_OK && result != RESULT_BUFFER_TOO_SMALL) broken("listing failed", std::to_string(result));
    if (count > nodes) broken("more modules listed than nodes", std::to_string(count));
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

// One testbed directory for the whole run, made afresh for each input: in
// memory where /dev/shm allows, so that the file system costs little.
const std::string &testbed_root() {
    static const std::string root = [] {
        for (const char *parent : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(parent) + "/kdx7400-fuzz.XXXXXX";
            if (::mkdtemp(pattern.data()) != nullptr) return pattern;
        }
        broken("no directory for the testbed", "/dev/shm or /tmp");
    }();
    static const bool removed_at_exit = std::atexit([] {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }) == 0;
    (void)removed_at_exit;
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    g_input = {data, size};
    std::error_code ignored;
    fs::remove_all(testbed_root(), ignored);
    kdxsim::Testbed bed(testbed_root(), true);
    bed.make_current();
    build_tree(bed);
    const std::vector<std::string> nodes = bed.nodes();
    if (nodes.empty()) return 0;
    bed.clear_commands();
    const auto product_id = static_cast<uint16_t>((next_byte() & 1) != 0 ? 0x7401 : next_byte() << 8 | next_byte());
    const uint8_t board_id = next_byte() % 17;
    check_opened(KDX7400_OpenDevice(product_id, board_id), board_id < 16 ? "0123456789ABCDEF"[board_id] : -1,
                 "by IDs");
    const std::string path = (next_byte() & 1) != 0 ? "/dev/" + nodes[0] : next_text(40);
    check_opened(KDX7400_OpenDevicePath(path.c_str()), -1, "by path");
    check_listing(next_byte() % 5, nodes.size() + 3);
    KDX7400_ListDevice();
    check_bed(bed);
    return 0;
}
