// SPDX-License-Identifier: MIT
// Test and tool API for virtual modules: build the sg nodes and the sysfs
// tree of a testbed directory, drive a module's inputs and clock, read the
// command log and inject faults. The library under test sees none of this;
// it meets the testbed only through the preloaded interposer.
#pragma once

#include "../model/module_state.h"
#include "../sg/fault.h"
#include "store.h"
#include "module_map.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kdxsim {

struct VirtualModule {
    std::optional<unsigned> number;   // sgN; default: the lowest free number
    uint16_t product_id = 0x7401;
    uint8_t board_id = 0;
    uint8_t di = 16, do_ = 16, ai = 0, ao = 0, pi = 0, po = 0;
    uint16_t firmware_version = 0x0102;
    std::string firmware_date = "2026-03-14";
    std::string vendor = kdx::module_map::kVendor;
    std::optional<std::string> product; // default "KDX-<pid>" ... "#<bid>"
    uint32_t blocks = kdx::module_map::kDiskBlocks;
    uint32_t block_length = kdx::module_map::kBlockBytes;
    bool usb = true;                    // false: no USB device above the disk
    unsigned extra_levels = 0;          // directories between interface and host
    std::optional<std::string> id_product_text; // raw idProduct file content
};

// Parses "pid=0x7401,bid=3,di=16,do=16" (also ai, ao, pi, po, fw, date,
// sg); throws std::invalid_argument on a bad description.
VirtualModule parse_virtual_module(const std::string &text);

// The state a module with this description starts in.
ModuleState initial_state(const VirtualModule &wanted);

// One event of the command log.
struct Command {
    std::string type; // "sgio", "open" or "close"
    std::string node;
    int interface_id = 0;
    int direction = 0;
    unsigned cmd_len = 0, mx_sb_len = 0, dxfer_len = 0, timeout = 0, flags = 0;
    unsigned iovec_count = 0;
    int open_flags = 0;
    int error = 0;
    std::vector<uint8_t> cdb;
    std::vector<uint8_t> data; // bytes sent to the device
    uint32_t lba() const;      // READ(10)/WRITE(10) address
};

class Testbed {
public:
    // A new temporary testbed, made the process's current one.
    Testbed();
    // An existing testbed directory (created when create is true).
    Testbed(std::string root, bool create);
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;
    ~Testbed();

    const std::string &root() const { return store_.root(); }
    const Store &store() const { return store_; }
    // Sets the environment so that this process's calls use the testbed.
    void make_current() const;

    std::string add_module(const VirtualModule &wanted);
    // A module that another front end (the USB gadget) puts on a bus: only
    // its state lives here, under name; an earlier state is replaced.
    ModuleState add_state_only(const std::string &name, const VirtualModule &wanted);
    std::vector<std::string> nodes() const;
    void remove_class_directory() const;

    std::string scsi_device_dir(const std::string &node) const;
    std::string usb_device_dir(const std::string &node) const;
    void write_sysfs_inquiry(const std::string &node, const std::vector<uint8_t> &bytes) const;

    ModuleState state(const std::string &node) const;
    void update(const std::string &node, const std::function<void(ModuleState &)> &change) const;
    void set_inputs(const std::string &node, uint64_t levels) const;
    // count pulses on one input, all at once (see pulse_input).
    void pulse(const std::string &node, unsigned channel, uint32_t count) const;
    void advance(uint64_t ms) const;

    std::vector<Command> commands() const;
    std::vector<Command> transfers() const; // commands that reached a module
    void clear_commands() const;
    void inject(const Fault &fault) const;
    void unplug(const std::string &node) const;
    // Plugs an unplugged module back in on its node, powered up afresh
    // (outputs at their power-on values, counters at 0, settings kept).
    void plug(const std::string &node) const;

    // Descriptors of this process open on the testbed's sg nodes.
    int open_node_descriptors() const;

private:
    Store store_;
    bool owned_ = false;
};

} // namespace kdxsim
