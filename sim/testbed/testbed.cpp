// SPDX-License-Identifier: MIT
#include "testbed.h"

#include "../../tools/common/numbers.h"

#include "../model/module_model.h"
#include "../scsi/target.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kdxsim {

namespace {

const char *kUsbController = "sys/devices/pci0000:00/0000:00:14.0";
const char *kSataController = "sys/devices/pci0000:00/0000:00:1f.2";

void put_padded(char *field, std::size_t size, const std::string &text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

void write_text(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    if (!write_file(path.string(), text.data(), text.size())) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::vector<uint8_t> from_hex(const std::string &text) {
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

ModuleState fresh_state(const VirtualModule &wanted) {
    ModuleState state{};
    state.format = kStateFormat;
    ModuleIdentity &id = state.identity;
    id.vendor_id = 0x4B44;
    id.product_id = wanted.product_id;
    id.board_id = wanted.board_id;
    put_padded(id.vendor, sizeof id.vendor, wanted.vendor);
    std::string product = wanted.product.value_or("");
    if (!wanted.product) {
        char text[17];
        std::snprintf(text, sizeof text, "KDX-%04X      #%X", wanted.product_id,
                      wanted.board_id & 0x0Fu);
        product = text;
    }
    put_padded(id.product, sizeof id.product, product);
    put_padded(id.revision, sizeof id.revision, "1.00");
    id.last_block = wanted.blocks - 1;
    id.block_length = wanted.block_length;
    id.di_total = wanted.di;
    id.do_total = wanted.do_;
    id.ai_total = wanted.ai;
    id.ao_total = wanted.ao;
    id.pi_total = wanted.pi;
    id.po_total = wanted.po;
    id.firmware_version = wanted.firmware_version;
    std::memset(id.firmware_date, 0, sizeof id.firmware_date);
    std::memcpy(id.firmware_date, wanted.firmware_date.data(),
                std::min(wanted.firmware_date.size(), sizeof id.firmware_date));
    load_defaults(state);
    power_on(state);
    return state;
}

// Directory of the SCSI device, relative to the testbed root.
fs::path scsi_device_relative(const VirtualModule &wanted, unsigned number) {
    const std::string host = std::to_string(number);
    fs::path path;
    if (wanted.usb) {
        const std::string port = "1-" + std::to_string(number + 1);
        path = fs::path(kUsbController) / "usb1" / port / (port + ":1.0");
        for (unsigned level = 1; level <= wanted.extra_levels; ++level) {
            path /= "level" + std::to_string(level);
        }
    } else {
        path = fs::path(kSataController) / ("ata" + host);
    }
    return path / ("host" + host) / ("target" + host + ":0:0") / (host + ":0:0:0");
}

} // namespace

ModuleState initial_state(const VirtualModule &wanted) { return fresh_state(wanted); }

uint32_t Command::lba() const {
    if (cdb.size() < 6) {
        return 0;
    }
    return uint32_t{cdb[2]} << 24 | uint32_t{cdb[3]} << 16 | uint32_t{cdb[4]} << 8 | cdb[5];
}

VirtualModule parse_virtual_module(const std::string &text) {
    VirtualModule wanted;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, end - start);
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos) {
            throw std::invalid_argument("expected key=value in '" + item + "'");
        }
        const std::string key = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        if (key == "date") {
            wanted.firmware_date = value;
        } else if (key == "product") {
            wanted.product = value;
        } else {
            // The tools' one vocabulary: product IDs hexadecimal, board
            // IDs as the listing shows them, other numbers hex, binary or
            // decimal, never octal or signed.
            const uint64_t number = key == "pid"   ? kdxtext::parse_product_id(value)
                                    : key == "bid" ? kdxtext::parse_board_id(value)
                                                   : kdxtext::parse_number(value, UINT32_MAX, key);
            const auto byte = [&](uint64_t limit) {
                if (number > limit) {
                    throw std::invalid_argument(key + " out of range");
                }
                return static_cast<uint8_t>(number);
            };
            if (key == "pid") {
                if (number > 0xFFFF) throw std::invalid_argument("pid out of range");
                wanted.product_id = static_cast<uint16_t>(number);
            } else if (key == "bid") {
                wanted.board_id = byte(15);
            } else if (key == "di") {
                wanted.di = byte(255);
            } else if (key == "do") {
                wanted.do_ = byte(255);
            } else if (key == "ai") {
                wanted.ai = byte(255);
            } else if (key == "ao") {
                wanted.ao = byte(255);
            } else if (key == "pi") {
                wanted.pi = byte(255);
            } else if (key == "po") {
                wanted.po = byte(255);
            } else if (key == "fw") {
                if (number > 0xFFFF) throw std::invalid_argument("fw out of range");
                wanted.firmware_version = static_cast<uint16_t>(number);
            } else if (key == "sg") {
                wanted.number = static_cast<unsigned>(number);
            } else {
                throw std::invalid_argument("unknown key '" + key + "'");
            }
        }
        start = end + 1;
    }
    return wanted;
}

Testbed::Testbed() : store_([] {
    char pattern[] = "/tmp/kdx7400-testbed.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return std::string(pattern);
}()),
                     owned_(true) {
    fs::create_directories(root() + "/dev");
    fs::create_directories(root() + "/modules");
    fs::create_directories(root() + "/sys/class/scsi_generic");
    store_.use_virtual_clock(1000);
    make_current();
}

Testbed::Testbed(std::string root, bool create) : store_(std::move(root)) {
    if (create) {
        fs::create_directories(this->root() + "/dev");
        fs::create_directories(this->root() + "/modules");
        fs::create_directories(this->root() + "/sys/class/scsi_generic");
        if (!fs::exists(this->root() + "/clock")) {
            store_.use_real_clock();
        }
    } else if (!fs::exists(this->root() + "/modules")) {
        throw std::runtime_error(this->root() + " is not a testbed");
    }
}

Testbed::~Testbed() {
    if (owned_) {
        const char *current = std::getenv(kTestbedEnv);
        if (current != nullptr && root() == current) {
            ::unsetenv(kTestbedEnv);
        }
        std::error_code ignored;
        fs::remove_all(root(), ignored);
    }
}

void Testbed::make_current() const {
    ::setenv(kTestbedEnv, root().c_str(), 1);
    ::setenv(kLogWalkEnv, "1", 1);
}

std::vector<std::string> Testbed::nodes() const { return store_.modules(); }

std::string Testbed::add_module(const VirtualModule &wanted) {
    const auto lock = store_.lock();
    unsigned number = 0;
    if (wanted.number) {
        number = *wanted.number;
    } else {
        while (fs::exists(store_.state_path("sg" + std::to_string(number)))) {
            ++number;
        }
    }
    const std::string node = "sg" + std::to_string(number);
    if (fs::exists(store_.state_path(node))) {
        throw std::invalid_argument(node + " exists already");
    }
    const ModuleState state = fresh_state(wanted);
    const fs::path base = root();
    const fs::path device = scsi_device_relative(wanted, number);
    const fs::path class_dir = base / "sys/class/scsi_generic";
    fs::create_directories(base / device / "scsi_generic" / node);
    fs::create_symlink("../..", base / device / "scsi_generic" / node / "device");
    fs::create_directories(class_dir);
    fs::create_symlink(fs::path("../..") / fs::relative(device, "sys") / "scsi_generic" / node,
                       class_dir / node);
    const auto inquiry = inquiry_data(state.identity);
    write_file((base / device / "inquiry").string(), inquiry.data(), 36);
    write_text(base / device / "vendor", std::string(state.identity.vendor, 8) + "\n");
    write_text(base / device / "model", std::string(state.identity.product, 16) + "\n");
    if (wanted.usb) {
        const fs::path usb = base / kUsbController / "usb1";
        write_text(usb / "idVendor", "1d6b\n");
        write_text(usb / "idProduct", "0002\n");
        const fs::path port = usb / ("1-" + std::to_string(number + 1));
        write_text(port / "idVendor", hex4(state.identity.vendor_id) + "\n");
        write_text(port / "idProduct",
                   wanted.id_product_text.value_or(hex4(wanted.product_id) + "\n"));
    }
    write_text(base / "dev" / node, "");
    store_.save(node, state);
    return node;
}

ModuleState Testbed::add_state_only(const std::string &name, const VirtualModule &wanted) {
    const auto lock = store_.lock();
    const ModuleState state = fresh_state(wanted);
    store_.save(name, state);
    return state;
}

void Testbed::remove_class_directory() const { fs::remove_all(root() + "/sys/class/scsi_generic"); }

std::string Testbed::scsi_device_dir(const std::string &node) const {
    return fs::canonical(root() + "/sys/class/scsi_generic/" + node + "/device").string();
}

std::string Testbed::usb_device_dir(const std::string &node) const {
    fs::path path = scsi_device_dir(node);
    while (path.has_parent_path() && path != path.root_path()) {
        if (fs::exists(path / "idProduct")) {
            return path.string();
        }
        path = path.parent_path();
    }
    throw std::runtime_error(node + " has no USB device");
}

void Testbed::write_sysfs_inquiry(const std::string &node, const std::vector<uint8_t> &bytes) const {
    write_file(scsi_device_dir(node) + "/inquiry", bytes.data(), bytes.size());
}

ModuleState Testbed::state(const std::string &node) const {
    const auto lock = store_.lock();
    ModuleState state{};
    if (!store_.load(node, state)) {
        throw std::runtime_error("no module " + node);
    }
    catch_up(state, store_.now_ms());
    return state;
}

void Testbed::update(const std::string &node,
                     const std::function<void(ModuleState &)> &change) const {
    const auto lock = store_.lock();
    ModuleState state{};
    if (!store_.load(node, state)) {
        throw std::runtime_error("no module " + node);
    }
    catch_up(state, store_.now_ms());
    change(state);
    store_.save(node, state);
}

void Testbed::set_inputs(const std::string &node, uint64_t levels) const {
    update(node, [levels](ModuleState &state) { drive_inputs(state, levels); });
}

void Testbed::pulse(const std::string &node, unsigned channel, uint32_t count) const {
    update(node, [=](ModuleState &state) { pulse_input(state, channel, count); });
}

void Testbed::advance(uint64_t ms) const {
    const auto lock = store_.lock();
    store_.advance(ms);
}

std::vector<Command> Testbed::commands() const {
    std::vector<Command> commands;
    for (const std::string &line : store_.log_lines()) {
        Command command;
        std::size_t start = 0;
        bool first = true;
        while (start < line.size()) {
            const std::size_t end = std::min(line.find(' ', start), line.size());
            const std::string token = line.substr(start, end - start);
            start = end + 1;
            if (first) {
                command.type = token;
                first = false;
                continue;
            }
            const std::size_t equals = token.find('=');
            const std::string key = token.substr(0, equals);
            const std::string value = token.substr(equals + 1);
            if (key == "node") command.node = value;
            else if (key == "interface_id") command.interface_id = std::stoi(value);
            else if (key == "dxfer_direction") command.direction = std::stoi(value);
            else if (key == "cmd_len") command.cmd_len = static_cast<unsigned>(std::stoul(value));
            else if (key == "mx_sb_len") command.mx_sb_len = static_cast<unsigned>(std::stoul(value));
            else if (key == "dxfer_len") command.dxfer_len = static_cast<unsigned>(std::stoul(value));
            else if (key == "timeout") command.timeout = static_cast<unsigned>(std::stoul(value));
            else if (key == "flags" && command.type == "open") command.open_flags = std::stoi(value);
            else if (key == "flags") command.flags = static_cast<unsigned>(std::stoul(value));
            else if (key == "iovec_count") command.iovec_count = static_cast<unsigned>(std::stoul(value));
            else if (key == "errno") command.error = std::stoi(value);
            else if (key == "cdb") command.cdb = from_hex(value);
            else if (key == "data") command.data = from_hex(value);
        }
        commands.push_back(std::move(command));
    }
    return commands;
}

std::vector<Command> Testbed::transfers() const {
    std::vector<Command> result;
    for (Command &command : commands()) {
        if (command.type == "sgio" || command.type == "usb") {
            result.push_back(std::move(command));
        }
    }
    return result;
}

void Testbed::clear_commands() const {
    const auto lock = store_.lock();
    store_.clear_log();
}

void Testbed::inject(const Fault &fault) const {
    const auto lock = store_.lock();
    store_.add_fault(fault);
}

void Testbed::unplug(const std::string &node) const {
    update(node, [](ModuleState &state) { state.unplugged = 1; });
    std::error_code ignored;
    fs::remove(root() + "/dev/" + node, ignored);
    fs::remove(root() + "/sys/class/scsi_generic/" + node, ignored);
}

void Testbed::plug(const std::string &node) const {
    update(node, [&](ModuleState &state) {
        if (state.unplugged == 0) {
            throw std::invalid_argument(node + " is plugged in already");
        }
        state.unplugged = 0;
        power_on(state);
    });
    // A gadget module has only its state here: the gadget binds it again.
    const fs::path class_dir = fs::path(root()) / "sys/class/scsi_generic";
    const fs::path devices = fs::path(root()) / "sys/devices";
    if (!fs::exists(devices)) {
        return;
    }
    for (const auto &entry : fs::recursive_directory_iterator(devices)) {
        if (entry.is_directory() && entry.path().filename() == node &&
            entry.path().parent_path().filename() == "scsi_generic") {
            fs::create_directories(class_dir);
            fs::create_symlink(fs::path("../..") / fs::relative(entry.path(), fs::path(root()) / "sys"),
                               class_dir / node);
            write_text(fs::path(root()) / "dev" / node, "");
            return;
        }
    }
}

int Testbed::open_node_descriptors() const {
    int count = 0;
    const std::string dev = fs::canonical(root() + "/dev").string() + "/";
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const fs::path target = fs::read_symlink(entry.path(), error);
        if (!error && target.string().starts_with(dev)) {
            ++count;
        }
    }
    return count;
}

} // namespace kdxsim
