// SPDX-License-Identifier: MIT
// kdx7400-gadget: one virtual KDX-7400 module served as a real USB
// mass-storage device (Bulk-Only Transport) through the kernel's
// FunctionFS, on a USB device controller such as dummy_hcd's. Any host
// program sees a USB disk; the register blocks behave as in kdx7400-sim.
#include "../../sim/scsi/target.h"
#include "../../sim/usb/bot.h"
#include "testbed.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <mutex>
#include <pthread.h>
#include <scsi/sg.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kGetMaxLun = 0xFE;
constexpr uint8_t kBulkOnlyReset = 0xFF;

struct Options {
    std::string module = "pid=0x7401,bid=0";
    std::string udc;
    std::string testbed;
    std::string name;
    std::string reads = "exact";
    std::string configfs = "/sys/kernel/config/usb_gadget";
    std::string mount_dir;
};

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop = true; }

// Only there to interrupt the bulk thread's endpoint I/O (no SA_RESTART):
// FunctionFS then takes the queued request back.
void on_interrupt(int) {}

void write_text(const fs::path &path, const std::string &text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    if (!file) {
        throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
    }
}

std::string read_text(const fs::path &path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    return text;
}

// The first device controller no gadget is bound to.
std::string free_udc() {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry("/sys/class/udc", error), end; !error && entry != end; entry.increment(error)) {
        names.push_back(entry->path().filename());
    }
    if (names.empty()) {
        // No controller at all: the kernel has no gadget support loaded.
        throw std::runtime_error("this machine has no USB device controller (/sys/class/udc is " +
                                 std::string(error ? "missing" : "empty") +
                                 "): load one, e.g. 'modprobe dummy_hcd' for a virtual bus (as root), "
                                 "or run under ./scripts/vm-test");
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        if (read_text("/sys/class/udc/" + name + "/state") == "not attached" &&
            !fs::exists("/sys/class/udc/" + name + "/function")) {
            return name;
        }
    }
    throw std::runtime_error("no free USB device controller (load dummy_hcd, or name one with --udc)");
}

// Interface and endpoint descriptors of a Bulk-Only mass-storage function.
struct __attribute__((packed)) Descriptors {
    usb_functionfs_descs_head_v2 header;
    uint32_t fs_count, hs_count;
    struct __attribute__((packed)) Speed {
        usb_interface_descriptor interface;
        usb_endpoint_descriptor_no_audio in, out;
    } fs, hs;
};

Descriptors::Speed speed_descriptors(uint16_t max_packet) {
    Descriptors::Speed d{};
    d.interface = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_MASS_STORAGE,
                   0x06 /* SCSI */, 0x50 /* Bulk-Only */, 1};
    d.in = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK,
            htole16(max_packet), 0};
    d.out = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK,
             htole16(max_packet), 0};
    return d;
}

constexpr char kInterfaceName[] = "KDX-7400 registers";

struct __attribute__((packed)) Strings {
    usb_functionfs_strings_head header;
    uint16_t language;
    char text[sizeof kInterfaceName];
};

class Gadget {
public:
    Gadget(Options options, kdxsim::ReadBehaviour reads)
        : options_(std::move(options)), store_(options_.testbed), target_(reads) {}
    Gadget(const Gadget &) = delete;
    Gadget &operator=(const Gadget &) = delete;
    ~Gadget() {
        if (bulk_.joinable() || control_.joinable()) { // serve() ended by an exception
            g_stop = true;
            stop_threads();
        }
        tear_down();
    }

    void set_up(const kdxsim::ModuleState &state);
    void serve();

private:
    void bind(bool on);
    void control_events();
    void handle_setup(const usb_ctrlrequest &setup);
    void end_connection();
    uint32_t wait_for_connection(uint32_t after);
    void bulk_commands();
    bool command(uint32_t connection, std::vector<uint8_t> &buffer);
    bool answer(uint32_t connection, const kdxsim::Cbw &cbw, const std::vector<uint8_t> &out);
    void tear_down();
    void stop_threads();
    enum class Io { Read, Write, Halt };
    ssize_t endpoint_io(uint32_t connection, Io io, uint8_t *data, std::size_t length);
    bool read_exactly(uint32_t connection, uint8_t *data, std::size_t length);
    void log(const std::string &line) const { store_.append_log(line); }

    Options options_;
    kdxsim::Store store_;
    kdxsim::BotTarget target_;
    fs::path gadget_dir_, mount_dir_;
    bool mounted_ = false;
    int ep0_ = -1, in_ = -1, out_ = -1;
    std::atomic<bool> bound_{false};
    std::mutex mutex_;
    std::condition_variable enabled_changed_;
    bool enabled_ = false;
    uint16_t max_packet_ = 512;
    // Each enable, disable, suspend or Bulk-Only reset starts a new
    // connection. A command belongs to the connection it was read in, and
    // none of its I/O may reach the host on a later one: a stale status
    // read as the next command's data makes the host reset for ever.
    std::atomic<uint32_t> connection_{1};
    std::atomic<uint32_t> io_connection_{0}; // of the endpoint I/O under way; 0: none
    pthread_t bulk_thread_{};
    // Joined before the gadget goes: a thread left running would use it.
    std::thread bulk_, control_;
    std::atomic<bool> bulk_done_{false}, control_done_{false};
};

void Gadget::set_up(const kdxsim::ModuleState &state) {
    const auto &id = state.identity;
    gadget_dir_ = fs::path(options_.configfs) / ("kdx7400-" + options_.name);
    if (!fs::exists(options_.configfs)) {
        throw std::runtime_error(options_.configfs +
                                 " missing: mount configfs and load libcomposite and usb_f_fs");
    }
    fs::create_directory(gadget_dir_);
    char hex[8];
    const auto put = [&](const char *file, unsigned value) {
        std::snprintf(hex, sizeof hex, "0x%04x", value);
        write_text(gadget_dir_ / file, hex);
    };
    put("idVendor", id.vendor_id);
    put("idProduct", id.product_id);
    put("bcdDevice", 0x0100);
    put("bcdUSB", 0x0200);
    const fs::path strings = gadget_dir_ / "strings/0x409";
    fs::create_directories(strings);
    write_text(strings / "manufacturer", std::string(id.vendor, sizeof id.vendor));
    write_text(strings / "product", std::string(id.product, sizeof id.product));
    // Twelve hex digits, as the Bulk-Only class asks; one per PID:BID.
    char serial[16];
    std::snprintf(serial, sizeof serial, "7400%04X%04X", id.product_id, id.board_id & 0x0Fu);
    write_text(strings / "serialnumber", serial);
    const fs::path config = gadget_dir_ / "configs/c.1";
    fs::create_directories(config / "strings/0x409");
    write_text(config / "strings/0x409/configuration", "KDX-7400");
    write_text(config / "MaxPower", "100");
    const fs::path function = gadget_dir_ / ("functions/ffs." + options_.name);
    fs::create_directory(function);
    if (!fs::exists(config / function.filename())) {
        fs::create_directory_symlink(function, config / function.filename());
    }

    mount_dir_ = options_.mount_dir.empty() ? fs::path("/run/kdx7400-gadget") / options_.name
                                            : fs::path(options_.mount_dir);
    fs::create_directories(mount_dir_);
    if (::mount(options_.name.c_str(), mount_dir_.c_str(), "functionfs", 0, nullptr) != 0) {
        throw std::runtime_error("mount functionfs on " + mount_dir_.string() + ": " +
                                 std::strerror(errno));
    }
    mounted_ = true;
    ep0_ = ::open((mount_dir_ / "ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) {
        throw std::runtime_error("open ep0: " + std::string(std::strerror(errno)));
    }
    Descriptors descriptors{};
    descriptors.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    descriptors.header.length = htole32(sizeof descriptors);
    descriptors.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    descriptors.fs_count = htole32(3);
    descriptors.hs_count = htole32(3);
    descriptors.fs = speed_descriptors(64);
    descriptors.hs = speed_descriptors(512);
    Strings text{};
    text.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    text.header.length = htole32(sizeof text);
    text.header.str_count = htole32(1);
    text.header.lang_count = htole32(1);
    text.language = htole16(0x0409);
    std::memcpy(text.text, kInterfaceName, sizeof kInterfaceName);
    if (::write(ep0_, &descriptors, sizeof descriptors) != sizeof descriptors ||
        ::write(ep0_, &text, sizeof text) != sizeof text) {
        throw std::runtime_error("FunctionFS refused the descriptors: " +
                                 std::string(std::strerror(errno)));
    }
    // Non-blocking: I/O on a disabled endpoint fails at once rather than
    // waiting to be queued on whatever connection comes next.
    in_ = ::open((mount_dir_ / "ep1").c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    out_ = ::open((mount_dir_ / "ep2").c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (in_ < 0 || out_ < 0) {
        throw std::runtime_error("open endpoints: " + std::string(std::strerror(errno)));
    }
}

void Gadget::bind(bool on) {
    write_text(gadget_dir_ / "UDC", on ? options_.udc : "\n");
    bound_ = on;
    std::cerr << "kdx7400-gadget: " << options_.name << (on ? " plugged into " : " unplugged from ")
              << options_.udc << "\n";
    log(std::string(on ? "plug" : "unplug") + " node=" + options_.name);
}

void Gadget::handle_setup(const usb_ctrlrequest &setup) {
    const bool class_request = (setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS;
    const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
    uint8_t byte = 0;
    if (class_request && setup.bRequest == kGetMaxLun && in) {
        [[maybe_unused]] auto n = ::write(ep0_, &byte, 1); // one LUN: 0
        return;
    }
    if (class_request && setup.bRequest == kBulkOnlyReset && !in) {
        end_connection(); // before the host may send its next command
        [[maybe_unused]] auto n = ::read(ep0_, &byte, 0); // acknowledge
        log("reset node=" + options_.name);
        return;
    }
    // Anything else is stalled: FunctionFS stalls on the wrong direction.
    if (in) {
        [[maybe_unused]] auto n = ::read(ep0_, &byte, 0);
    } else {
        [[maybe_unused]] auto n = ::write(ep0_, &byte, 0);
    }
}

void Gadget::control_events() {
    usb_functionfs_event events[4];
    while (!g_stop) {
        const ssize_t n = ::read(ep0_, events, sizeof events);
        if (n < 0) {
            if (errno != EINTR) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            continue;
        }
        for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof events[0]); ++i) {
            const usb_functionfs_event &event = events[i];
            switch (event.type) {
            case FUNCTIONFS_ENABLE:
            case FUNCTIONFS_DISABLE:
            case FUNCTIONFS_UNBIND: {
                const std::string speed =
                    read_text("/sys/class/udc/" + options_.udc + "/current_speed");
                if (event.type == FUNCTIONFS_ENABLE) {
                    log("enable node=" + options_.name); // counts the host's resets
                }
                {
                    std::lock_guard lock(mutex_);
                    enabled_ = event.type == FUNCTIONFS_ENABLE;
                    max_packet_ = speed == "full-speed" ? 64 : 512;
                }
                end_connection();
                break;
            }
            // An unplug shows first as a suspend (the disable that follows
            // may be merged away by FunctionFS); hosts never suspend a
            // device in the middle of a command.
            case FUNCTIONFS_SUSPEND: end_connection(); break;
            case FUNCTIONFS_SETUP: handle_setup(event.u.setup); break;
            default: break;
            }
        }
    }
}

void Gadget::end_connection() {
    {
        std::lock_guard lock(mutex_); // so that a bulk thread about to wait sees it
        connection_.fetch_add(1);
    }
    enabled_changed_.notify_all();
    // Interrupt I/O of an old connection until the bulk thread has left it;
    // again and again, in case a signal comes just before it blocks.
    for (int tries = 0; tries < 1000; ++tries) {
        const uint32_t busy = io_connection_.load();
        if (busy == 0 || busy == connection_.load()) {
            return;
        }
        ::pthread_kill(bulk_thread_, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::cerr << "kdx7400-gadget: " << options_.name << ": endpoint I/O would not stop\n";
}

// The connection to serve once the function is enabled on one newer than
// `after` (or at most 100 ms later: an endpoint error need not mean a new
// connection); 0 when stopping.
uint32_t Gadget::wait_for_connection(uint32_t after) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    enabled_changed_.wait_until(lock, deadline, [&] {
        return g_stop || (enabled_ && connection_.load() != after);
    });
    while (!g_stop && !enabled_) {
        enabled_changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
    return g_stop ? 0 : connection_.load();
}

ssize_t Gadget::endpoint_io(uint32_t connection, Io io, uint8_t *data, std::size_t length) {
    io_connection_.store(connection);
    ssize_t n = -1;
    if (connection_.load() != connection) {
        errno = ESHUTDOWN;
    } else if (io == Io::Write) {
        n = ::write(in_, data, length);
    } else {
        n = ::read(io == Io::Read ? out_ : in_, data, length); // a read on IN halts it
    }
    const int error = errno;
    io_connection_.store(0);
    if (n >= 0 && connection_.load() != connection) {
        n = -1; // done, but for a connection that has ended
    }
    errno = error;
    return n;
}

bool Gadget::read_exactly(uint32_t connection, uint8_t *data, std::size_t length) {
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = endpoint_io(connection, Io::Read, data + got, length - got);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// False when the connection ended before the status went out.
bool Gadget::answer(uint32_t connection, const kdxsim::Cbw &cbw, const std::vector<uint8_t> &out) {
    const int opcode = cbw.cdb[0];
    const std::optional<uint32_t> address = kdxsim::block_address(cbw.cdb);
    const int64_t lba = address ? int64_t{*address} : -1;
    const int direction = cbw.length == 0 ? SG_DXFER_NONE
                          : cbw.to_host    ? SG_DXFER_FROM_DEV
                                           : SG_DXFER_TO_DEV;
    std::string line = "usb node=" + options_.name + " dxfer_direction=" +
                       std::to_string(direction) + " cmd_len=" + std::to_string(cbw.cdb.size()) +
                       " dxfer_len=" + std::to_string(cbw.length) +
                       " cdb=" + kdxsim::to_hex(cbw.cdb.data(), cbw.cdb.size());
    if (!cbw.to_host && !out.empty()) {
        line += " data=" + kdxsim::to_hex(out.data(), out.size());
    }
    kdxsim::BotReply reply;
    {
        const auto lock = store_.lock();
        kdxsim::ModuleState state{};
        if (!store_.load(options_.name, state)) {
            return true;
        }
        const auto fault = store_.take_fault(options_.name, opcode, lba);
        const kdxsim::FaultAction action =
            fault ? target_.fault_before(*fault, cbw, reply) : kdxsim::FaultAction::Execute;
        if (action == kdxsim::FaultAction::Hang) {
            log(line + " fault=hang");
            return true; // the host times out and resets us
        }
        if (action == kdxsim::FaultAction::Disconnect) {
            state.unplugged = 1;
            store_.save(options_.name, state);
            log(line + " fault=disconnect");
            bind(false);
            return true;
        }
        if (action == kdxsim::FaultAction::Execute) {
            reply = target_.answer(state, cbw, out, store_.now_ms());
            if (fault) target_.fault_after(*fault, cbw, reply);
        } else {
            line += " fault=error";
        }
        if (!reply.malformed.empty()) {
            ++state.seen.malformed;
            std::cerr << "kdx7400-gadget: MALFORMED register command: " << reply.malformed << "\n";
            line += " malformed=1";
        }
        store_.save(options_.name, state);
        log(line + " status=" + std::to_string(reply.status));
    }
    if (cbw.to_host && cbw.length > 0) {
        if (!reply.data.empty() &&
            endpoint_io(connection, Io::Write, reply.data.data(), reply.data.size()) < 0) {
            return false;
        }
        // Less than asked, ending on a packet boundary: only a stall tells
        // the host that the data phase is over.
        if (reply.data.size() < cbw.length && reply.data.size() % max_packet_ == 0) {
            uint8_t byte = 0;
            if (endpoint_io(connection, Io::Halt, &byte, 1) < 0 && errno != EBADMSG) {
                return false;
            }
        }
    }
    auto csw = kdxsim::make_csw(cbw.tag, reply.residue, reply.status);
    return endpoint_io(connection, Io::Write, csw.data(), csw.size()) == ssize_t(csw.size());
}

// One command of the connection: its wrapper, its data from the host, the
// answer. False when the connection ended on the way.
bool Gadget::command(uint32_t connection, std::vector<uint8_t> &buffer) {
    const ssize_t n = endpoint_io(connection, Io::Read, buffer.data(), buffer.size());
    if (n < 0) {
        return false;
    }
    const auto cbw = kdxsim::parse_cbw(std::span(buffer.data(), static_cast<std::size_t>(n)));
    if (!cbw) {
        std::cerr << "kdx7400-gadget: " << n << " bytes that are no command wrapper, ignored\n";
        return true;
    }
    std::vector<uint8_t> out;
    if (!cbw->to_host && cbw->length > 0) {
        out.resize(cbw->length);
        if (!read_exactly(connection, out.data(), out.size())) {
            return false;
        }
    }
    return answer(connection, *cbw, out);
}

void Gadget::bulk_commands() {
    std::vector<uint8_t> buffer(512);
    uint32_t connection = wait_for_connection(0);
    while (connection != 0) {
        // A command cut off by its connection's end is dropped: no status.
        if (!command(connection, buffer) || connection_.load() != connection) {
            connection = wait_for_connection(connection);
        }
    }
}

void Gadget::serve() {
    struct sigaction interrupt {};
    interrupt.sa_handler = on_interrupt; // no SA_RESTART
    ::sigaction(SIGUSR1, &interrupt, nullptr);
    bulk_ = std::thread([this] {
        bulk_commands();
        bulk_done_ = true;
    });
    bulk_thread_ = bulk_.native_handle();
    control_ = std::thread([this] {
        control_events();
        control_done_ = true;
    });
    // Follows the testbed's plug state, so that tests and kdx7400-sim
    // unplug and re-plug the module as they do a virtual one.
    while (!g_stop) {
        kdxsim::ModuleState state{};
        bool present = false;
        {
            const auto lock = store_.lock();
            present = store_.load(options_.name, state);
        }
        const bool want = present && state.unplugged == 0;
        if (want != bound_) {
            bind(want);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop_threads();
}

// Unbound, the function's endpoints fail their I/O, and a signal breaks
// each blocking call; a thread still in the kernel after that (a hung
// endpoint) leaves no safe way to free what it uses, so the process ends.
void Gadget::stop_threads() {
    if (bound_) {
        try {
            bind(false);
        } catch (const std::exception &) {
        }
    }
    if (!bulk_.joinable() || !control_.joinable()) return; // already stopped
    for (int tries = 0; tries < 300 && !(bulk_done_ && control_done_); ++tries) {
        if (!bulk_done_) ::pthread_kill(bulk_.native_handle(), SIGUSR1);
        if (!control_done_) ::pthread_kill(control_.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!(bulk_done_ && control_done_)) {
        std::cerr << "kdx7400-gadget: " << options_.name << ": endpoint I/O would not stop; leaving\n";
        std::_Exit(0);
    }
    bulk_.join();
    control_.join();
}

void Gadget::tear_down() {
    std::error_code ignored;
    if (bound_) {
        try {
            write_text(gadget_dir_ / "UDC", "\n");
        } catch (const std::exception &) {
        }
    }
    for (int *fd : {&in_, &out_, &ep0_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (mounted_) {
        ::umount2(mount_dir_.c_str(), MNT_DETACH);
    }
    if (!gadget_dir_.empty()) {
        fs::remove(gadget_dir_ / "configs/c.1" / ("ffs." + options_.name), ignored);
        fs::remove(gadget_dir_ / "configs/c.1/strings/0x409", ignored);
        fs::remove(gadget_dir_ / "configs/c.1", ignored);
        fs::remove(gadget_dir_ / ("functions/ffs." + options_.name), ignored);
        fs::remove(gadget_dir_ / "strings/0x409", ignored);
        fs::remove(gadget_dir_, ignored);
    }
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"Serves one virtual KDX-7400 module as a USB mass-storage device through "
                 "FunctionFS. Its registers live in a testbed directory, so kdx7400-sim "
                 "(inputs, show, unplug) and tests drive it as they drive a virtual module."};
    Options options;
    app.add_option("--module", options.module,
                   "module description: pid, bid, di, do, ai, ao, pi, po, fw, date, product");
    app.add_option("--udc", options.udc, "USB device controller (default: the first free one)");
    app.add_option("--testbed", options.testbed, "testbed directory for the module's state")
        ->required();
    app.add_option("--name", options.name, "module name in the testbed (default: usb-<udc>)");
    app.add_option("--reads", options.reads,
                   "how short register reads end: exact, block, phase, residue, short or short-phase")
        ->check(CLI::IsMember({"exact", "block", "phase", "residue", "short", "short-phase"}));
    app.add_option("--configfs", options.configfs, "the usb_gadget directory of configfs");
    app.add_option("--mount", options.mount_dir, "where to mount FunctionFS");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        return app.exit(error) == 0 ? 0 : 2; // a usage error, as for every other tool
    }

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    try {
        if (options.udc.empty()) {
            options.udc = free_udc();
        }
        if (options.name.empty()) {
            options.name = "usb-" + options.udc;
            std::replace(options.name.begin(), options.name.end(), '.', '-');
        }
        const kdxsim::VirtualModule wanted = kdxsim::parse_virtual_module(options.module);
        kdxsim::Testbed bed(options.testbed, true);
        const kdxsim::ModuleState state = bed.add_state_only(options.name, wanted);
        Gadget gadget(options, *kdxsim::parse_read_behaviour(options.reads));
        gadget.set_up(state);
        std::cerr << "kdx7400-gadget: " << options.name << " serving pid=0x" << std::hex
                  << state.identity.product_id << std::dec << " bid="
                  << unsigned{state.identity.board_id} << " reads=" << options.reads << "\n";
        gadget.serve();
    } catch (const std::exception &error) {
        std::cerr << "kdx7400-gadget: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
