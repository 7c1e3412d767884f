// kdxio: try, script and diagnose KDX-7400 modules from the shell.
// Uses the library only through its public header.
#include "kdx7400.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using json = nlohmann::json;

// ---- errors and exit codes ----------------------------------------------

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A module that is there but out of this user's reach.
struct AccessError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct LibraryError : std::runtime_error {
    LibraryError(const std::string &operation, const char *text, int code)
        : std::runtime_error(operation + ": " + text + " (" + std::to_string(code) + ")") {}
};

void check(int16_t code, const char *operation) {
    if (code != RESULT_OK) {
        throw LibraryError(operation, KDXIO_GetResultString(code), code);
    }
}

// ---- numbers --------------------------------------------------------------

uint64_t parse_number(const std::string &text, uint64_t limit, const char *what) {
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    } else if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B')) {
        base = 2;
        digits = digits.substr(2);
    }
    if (digits.empty() || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') {
        throw UsageError(std::string("invalid ") + what + " '" + text + "'");
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(digits.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || value > limit) {
        throw UsageError(std::string("invalid ") + what + " '" + text + "'");
    }
    return value;
}

uint64_t parse_mask(const std::string &text) { return parse_number(text, UINT64_MAX, "mask"); }

uint8_t parse_byte(const std::string &text, const char *what, uint64_t limit = 255) {
    return static_cast<uint8_t>(parse_number(text, limit, what));
}

// A mask in hex, as wide as the channel count needs.
std::string hex_mask(uint64_t value, unsigned channels) {
    const unsigned digits = channels == 0 || channels > 64 ? 16 : (channels + 3) / 4;
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", static_cast<int>(digits),
                  static_cast<unsigned long long>(value));
    return text;
}

std::string hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

// ---- the module -----------------------------------------------------------

struct Options {
    std::string pid_text;
    std::string bid_text;
    bool json = false;
    bool yes = false;
    unsigned interval_ms = 100;
    unsigned count = 0;
};

void explain_unopenable(uint16_t pid, uint8_t bid);

// An open module, closed again when the command is done.
class Module {
public:
    explicit Module(const Options &options) {
        if (options.pid_text.empty() || options.bid_text.empty()) {
            throw UsageError("this command needs a module: -p PID -b BID");
        }
        pid_ = static_cast<uint16_t>(parse_number(options.pid_text, 0xFFFF, "product ID"));
        bid_ = static_cast<uint8_t>(parse_number(options.bid_text, 255, "board ID"));
        index_ = KDX7400_OpenDevice(pid_, bid_);
        if (index_ == OPEN_NOT_FOUND) {
            explain_unopenable(pid_, bid_);
        }
        if (index_ < 0) {
            throw LibraryError("open " + hex(pid_, 4) + " board " + std::to_string(bid_),
                               KDXIO_GetOpenResultString(index_), index_);
        }
        check(KDX7400_GetDOTotal(index_, &do_total_), "get output count");
        check(KDX7400_GetDITotal(index_, &di_total_), "get input count");
    }
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;
    ~Module() { KDX7400_CloseDevice(index_); }

    int32_t index() const { return index_; }
    uint16_t pid() const { return pid_; }
    uint8_t bid() const { return bid_; }
    uint8_t do_total() const { return do_total_; }
    uint8_t di_total() const { return di_total_; }

private:
    int32_t index_ = -1;
    uint16_t pid_ = 0;
    uint8_t bid_ = 0;
    uint8_t do_total_ = 0;
    uint8_t di_total_ = 0;
};

// sg nodes the listing shows for a product ID and board ID.
std::vector<std::string> listed_nodes(uint16_t pid, uint8_t bid) {
    std::array<kdx7400_device_entry, MAX_DEVICES> entries{};
    std::size_t count = 0;
    const int16_t result = KDX7400_GetDeviceList(entries.data(), entries.size(), &count);
    if (result != RESULT_OK && result != RESULT_BUFFER_TOO_SMALL) {
        check(result, "list modules");
    }
    const char board = "0123456789ABCDEF"[bid & 0x0F];
    std::vector<std::string> nodes;
    for (std::size_t i = 0; i < std::min(count, entries.size()); ++i) {
        const kdx7400_device_entry &entry = entries[i];
        if (entry.has_product_id && entry.product_id == pid && entry.bid_char == board) {
            nodes.push_back(std::string("/dev/") + entry.node);
        }
    }
    return nodes;
}

// A listed module whose node this user may not open: the library can only
// say "not found", so say what really stands in the way.
void explain_unopenable(uint16_t pid, uint8_t bid) {
    for (const std::string &path : listed_nodes(pid, bid)) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
        } else if (errno == EACCES || errno == EPERM) {
            throw AccessError(path + " is a KDX-7400 module but cannot be opened: " +
                              std::strerror(errno) + " (see udev/60-kdx7400.rules)");
        }
    }
}

// The module's sg node, opened directly for the raw SCSI commands.
class RawNode {
public:
    explicit RawNode(const Module &module) {
        for (const std::string &path : listed_nodes(module.pid(), module.bid())) {
            fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd_ >= 0) {
                break;
            }
        }
        if (fd_ < 0) {
            throw LibraryError("open sg node", "no sg node found for the module", -1);
        }
    }
    RawNode(const RawNode &) = delete;
    RawNode &operator=(const RawNode &) = delete;
    ~RawNode() { ::close(fd_); }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// ---- output ---------------------------------------------------------------

void emit(const Options &options, const json &object, const std::string &text) {
    if (options.json) {
        std::cout << object.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    } else {
        std::cout << text;
    }
}

json mask_json(uint64_t value, unsigned channels) {
    return {{"value", value}, {"hex", hex_mask(value, channels)}, {"channels", channels}};
}

// ---- commands -------------------------------------------------------------

void cmd_list(const Options &options, bool plain) {
    if (plain) {
        std::fflush(stdout);
        check(KDX7400_ListDevice(), "list modules");
        std::fflush(stdout);
        return;
    }
    std::array<kdx7400_device_entry, MAX_DEVICES> entries{};
    std::size_t count = 0;
    const int16_t result = KDX7400_GetDeviceList(entries.data(), entries.size(), &count);
    if (result != RESULT_BUFFER_TOO_SMALL) {
        check(result, "list modules");
    }
    json list = json::array();
    std::ostringstream text;
    if (count == 0) {
        text << "No KDX-7400 devices found.\n";
    }
    for (std::size_t i = 0; i < std::min(count, entries.size()); ++i) {
        const kdx7400_device_entry &e = entries[i];
        const std::string bid = e.bid_char != 0 ? std::string(1, e.bid_char) : "";
        list.push_back({{"node", e.node},
                        {"product_id", e.has_product_id ? json(e.product_id) : json(nullptr)},
                        {"board_id", bid},
                        {"name", e.display_name},
                        {"product", e.product_name}});
        text << e.node << "  pid=" << (e.has_product_id ? hex(e.product_id, 4) : "?")
             << "  bid=" << (bid.empty() ? "?" : bid) << "  " << e.display_name << "\n";
    }
    emit(options, list, text.str());
}

void cmd_info(const Options &options) {
    const Module module(options);
    const int32_t i = module.index();
    uint16_t version = 0;
    char date[11] = {};
    char name[33] = {};
    uint8_t counts[6] = {};
    uint32_t timeout = 0;
    uint8_t protect = 0, factor = 0;
    uint64_t outputs = 0, inputs = 0;
    check(KDX7400_GetFwVer(i, &version), "get firmware version");
    check(KDX7400_GetFwDate(i, date), "get firmware date");
    check(KDX7400_GetDeviceNickName(i, name), "get nickname");
    check(KDX7400_GetDOTotal(i, &counts[0]), "get output count");
    check(KDX7400_GetDITotal(i, &counts[1]), "get input count");
    check(KDX7400_GetAOTotal(i, &counts[2]), "get analog output count");
    check(KDX7400_GetAITotal(i, &counts[3]), "get analog input count");
    check(KDX7400_GetPOTotal(i, &counts[4]), "get pulse output count");
    check(KDX7400_GetPITotal(i, &counts[5]), "get pulse input count");
    check(KDX7400_GetSoftWDTTimeout(i, &timeout), "get watchdog timeout");
    check(KDX7400_GetWriteProtect(i, &protect), "get write protection");
    check(KDX7400_GetFrameRateFactor(i, &factor), "get frame-rate factor");
    check(KDX7400_DO_ReadValue(i, &outputs), "read outputs");
    check(KDX7400_DI_ReadValue(i, &inputs), "read inputs");
    const json object = {
        {"product_id", module.pid()}, {"board_id", module.bid()},
        {"firmware_version", version}, {"firmware_version_hex", hex(version, 4)},
        {"firmware_date", date},      {"nickname", name},
        {"do_total", counts[0]},      {"di_total", counts[1]},
        {"ao_total", counts[2]},      {"ai_total", counts[3]},
        {"po_total", counts[4]},      {"pi_total", counts[5]},
        {"watchdog_timeout", timeout}, {"write_protect", protect},
        {"frame_rate_factor", factor}, {"outputs", mask_json(outputs, counts[0])},
        {"inputs", mask_json(inputs, counts[1])}};
    std::ostringstream text;
    text << "module            " << hex(module.pid(), 4) << " board " << int{module.bid()} << "\n"
         << "firmware          " << hex(version, 4) << " (" << date << ")\n"
         << "nickname          " << name << "\n"
         << "channels          DO " << int{counts[0]} << ", DI " << int{counts[1]} << ", AO "
         << int{counts[2]} << ", AI " << int{counts[3]} << ", PO " << int{counts[4]} << ", PI "
         << int{counts[5]} << "\n"
         << "watchdog timeout  " << timeout << (timeout == 0 ? " (off)" : "") << "\n"
         << "write protect     " << int{protect} << "\n"
         << "frame-rate factor " << int{factor} << "\n"
         << "outputs           " << hex_mask(outputs, counts[0]) << "\n"
         << "inputs            " << hex_mask(inputs, counts[1]) << "\n";
    emit(options, object, text.str());
}

void print_mask(const Options &options, const char *key, uint64_t value, unsigned channels) {
    emit(options, {{key, mask_json(value, channels)}}, hex_mask(value, channels) + "\n");
}

void print_byte(const Options &options, const char *key, unsigned value) {
    emit(options, {{key, value}}, std::to_string(value) + "\n");
}

void need_values(const std::vector<std::string> &values, std::size_t least, std::size_t most,
                 const char *usage) {
    if (values.size() < least || values.size() > most) {
        throw UsageError(std::string("usage: ") + usage);
    }
}

void cmd_do(const Options &options, const std::string &action,
            const std::vector<std::string> &values) {
    const Module module(options);
    const int32_t i = module.index();
    if (action == "get") {
        need_values(values, 0, 0, "do get");
        uint64_t value = 0;
        check(KDX7400_DO_ReadValue(i, &value), "read outputs");
        print_mask(options, "outputs", value, module.do_total());
    } else if (action == "set") {
        need_values(values, 1, 1, "do set MASK");
        check(KDX7400_DO_WriteValue(i, parse_mask(values[0])), "write outputs");
    } else if (action == "on" || action == "off") {
        need_values(values, 1, 64, "do on|off CH...");
        for (const std::string &channel : values) {
            check(KDX7400_DO_WriteChannel(i, parse_byte(channel, "channel", 63), action == "on"),
                  "write output channel");
        }
    } else if (action == "power-on") {
        need_values(values, 0, 1, "do power-on [MASK]");
        if (values.empty()) {
            uint64_t value = 0;
            check(KDX7400_DO_GetPowerOnEnable(i, &value), "read power-on outputs");
            print_mask(options, "power_on", value, module.do_total());
        } else {
            check(KDX7400_DO_SetPowerOnEnable(i, parse_mask(values[0])), "write power-on outputs");
        }
    } else if (action == "safety") {
        if (values.size() == 1) {
            throw UsageError("usage: do safety [FIRST SECOND]");
        }
        need_values(values, 0, 2, "do safety [FIRST SECOND]");
        if (values.empty()) {
            uint64_t first = 0, second = 0;
            check(KDX7400_DO_GetSafetyEnable(i, &first, &second), "read safety masks");
            emit(options,
                 {{"first", mask_json(first, module.do_total())},
                  {"second", mask_json(second, module.do_total())}},
                 hex_mask(first, module.do_total()) + " " + hex_mask(second, module.do_total()) +
                     "\n");
        } else {
            check(KDX7400_DO_SetSafetyEnable(i, parse_mask(values[0]), parse_mask(values[1])),
                  "write safety masks");
        }
    } else if (action == "invert") {
        need_values(values, 0, 1, "do invert [0|1]");
        if (values.empty()) {
            uint8_t inverse = 0;
            check(KDX7400_DO_GetInverse(i, &inverse), "read output inversion");
            print_byte(options, "invert", inverse);
        } else {
            check(KDX7400_DO_SetInverse(i, parse_byte(values[0], "inversion", 1)),
                  "write output inversion");
        }
    }
}

void cmd_di(const Options &options, const std::string &action,
            const std::vector<std::string> &values) {
    const Module module(options);
    const int32_t i = module.index();
    const auto setting = [&](const char *name, auto get, auto set, const char *key) {
        need_values(values, 0, 1, (std::string("di ") + name + " [0|1]").c_str());
        if (values.empty()) {
            uint8_t value = 0;
            check(get(i, &value), (std::string("read input ") + name).c_str());
            print_byte(options, key, value);
        } else {
            check(set(i, parse_byte(values[0], name, 1)), (std::string("write input ") + name).c_str());
        }
    };
    if (action == "get") {
        need_values(values, 0, 0, "di get");
        uint64_t value = 0;
        check(KDX7400_DI_ReadValue(i, &value), "read inputs");
        print_mask(options, "inputs", value, module.di_total());
    } else if (action == "filter") {
        need_values(values, 0, 1, "di filter [N]");
        if (values.empty()) {
            uint16_t filter = 0;
            check(KDX7400_DI_GetFilter(i, &filter), "read input filter");
            print_byte(options, "filter", filter);
        } else {
            check(KDX7400_DI_SetFilter(i, static_cast<uint16_t>(parse_number(values[0], 0xFFFF, "filter"))),
                  "write input filter");
        }
    } else if (action == "invert") {
        setting("inversion", KDX7400_DI_GetInverse, KDX7400_DI_SetInverse, "invert");
    } else if (action == "edge") {
        setting("edge", KDX7400_DI_GetCntEdgeTrigger, KDX7400_DI_SetCntEdgeTrigger, "edge");
    } else {
        const uint8_t channel = parse_byte(action, "channel");
        uint8_t state = 0;
        check(KDX7400_DI_ReadChannel(i, channel, &state), "read input channel");
        emit(options, {{"channel", channel}, {"state", state}}, std::to_string(state) + "\n");
    }
}

std::vector<uint32_t> read_counters(const Module &module) {
    std::vector<uint32_t> counters(module.di_total());
    check(KDX7400_DI_ReadCounterValue(module.index(), counters.data(), module.di_total()),
          "read counters");
    return counters;
}

void cmd_counter(const Options &options, const std::string &action,
                 const std::vector<std::string> &values) {
    const Module module(options);
    const int32_t i = module.index();
    if (action == "read") {
        need_values(values, 0, 1, "counter read [CH]");
        if (values.size() == 1) {
            const uint8_t channel = parse_byte(values[0], "channel");
            uint32_t value = 0;
            check(KDX7400_DI_ReadChannelCounter(i, channel, &value), "read counter");
            emit(options, {{"channel", channel}, {"counter", value}}, std::to_string(value) + "\n");
            return;
        }
        const std::vector<uint32_t> counters = read_counters(module);
        std::ostringstream text;
        for (std::size_t n = 0; n < counters.size(); ++n) {
            text << n << " " << counters[n] << "\n";
        }
        emit(options, {{"counters", counters}}, text.str());
    } else if (action == "clear") {
        need_values(values, 1, 1, "counter clear MASK");
        check(KDX7400_DI_ClearCounter(i, parse_mask(values[0])), "clear counters");
    } else if (action == "clear-channel") {
        need_values(values, 1, 64, "counter clear-channel CH...");
        for (const std::string &channel : values) {
            check(KDX7400_DI_ClearCounterChannel(i, parse_byte(channel, "channel")),
                  "clear counter channel");
        }
    }
}

void cmd_watchdog(const Options &options, const std::string &action,
                  const std::vector<std::string> &values) {
    const Module module(options);
    const int32_t i = module.index();
    if (action == "get") {
        need_values(values, 0, 0, "watchdog get");
        uint32_t timeout = 0;
        check(KDX7400_GetSoftWDTTimeout(i, &timeout), "read watchdog timeout");
        emit(options, {{"timeout", timeout}}, std::to_string(timeout) + "\n");
    } else if (action == "set") {
        need_values(values, 1, 1, "watchdog set TIMEOUT");
        check(KDX7400_SetSoftWDTTimeout(
                  i, static_cast<uint32_t>(parse_number(values[0], UINT32_MAX, "timeout"))),
              "set watchdog timeout");
    } else if (action == "clear") {
        need_values(values, 0, 0, "watchdog clear");
        check(KDX7400_ClearWDTErrLED(i), "clear watchdog error");
    }
}

void cmd_name(const Options &options, const std::vector<std::string> &values) {
    need_values(values, 0, 1, "name [NEW]");
    const Module module(options);
    if (values.empty()) {
        char name[33] = {};
        check(KDX7400_GetDeviceNickName(module.index(), name), "read nickname");
        emit(options, {{"nickname", name}}, std::string(name) + "\n");
    } else {
        if (values[0].size() > 32) {
            std::cerr << "kdxio: warning: the module keeps only the first 32 bytes\n";
        }
        check(KDX7400_SetDeviceNickName(module.index(), values[0].c_str()), "write nickname");
    }
}

void cmd_byte_setting(const Options &options, const std::vector<std::string> &values,
                      const char *name, int16_t (*get)(int32_t, uint8_t *),
                      int16_t (*set)(int32_t, uint8_t), uint64_t limit) {
    need_values(values, 0, 1, (std::string(name) + " [N]").c_str());
    const Module module(options);
    if (values.empty()) {
        uint8_t value = 0;
        check(get(module.index(), &value), (std::string("read ") + name).c_str());
        print_byte(options, name, value);
    } else {
        check(set(module.index(), parse_byte(values[0], name, limit)),
              (std::string("write ") + name).c_str());
    }
}

void cmd_action(const Options &options, const char *name, int16_t (*command)(int32_t)) {
    if (::isatty(STDIN_FILENO) && !options.yes) {
        throw UsageError(std::string(name) + " changes the module: add --yes to confirm");
    }
    const Module module(options);
    check(command(module.index()), name);
}

volatile std::sig_atomic_t g_stop = 0;

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03lld", text, static_cast<long long>(millis));
    return full;
}

void cmd_monitor(const Options &options) {
    const Module module(options);
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::optional<uint64_t> last_inputs;
    std::vector<uint32_t> last_counters;
    unsigned lines = 0;
    while (g_stop == 0 && (options.count == 0 || lines < options.count)) {
        uint64_t inputs = 0;
        check(KDX7400_DI_ReadValue(module.index(), &inputs), "read inputs");
        const std::vector<uint32_t> counters = read_counters(module);
        if (!last_inputs || inputs != *last_inputs || counters != last_counters) {
            const std::string when = timestamp();
            std::ostringstream text;
            text << when << " inputs=" << hex_mask(inputs, module.di_total());
            std::vector<std::size_t> changed;
            for (std::size_t n = 0; n < counters.size(); ++n) {
                if (last_counters.size() != counters.size() || counters[n] != last_counters[n]) {
                    changed.push_back(n);
                    text << " c" << n << "=" << counters[n];
                }
            }
            text << "\n";
            emit(options,
                 {{"time", when}, {"inputs", mask_json(inputs, module.di_total())},
                  {"counters", counters}, {"changed_counters", changed}},
                 text.str());
            std::cout.flush();
            last_inputs = inputs;
            last_counters = counters;
            ++lines;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(options.interval_ms));
    }
}

void cmd_raw_read(const Options &options, const std::vector<std::string> &values) {
    need_values(values, 2, 2, "raw read LBA LEN");
    const uint32_t lba = static_cast<uint32_t>(parse_number(values[0], UINT32_MAX, "LBA"));
    const uint32_t length = static_cast<uint32_t>(parse_number(values[1], 512, "length"));
    const Module module(options);
    const RawNode node(module);
    std::vector<uint8_t> buffer(std::max<uint32_t>(length, 1), 0);
    if (readLBA(node.fd(), lba, buffer.data(), length) != static_cast<int32_t>(length)) {
        check(RESULT_READ_FAILED, "raw read");
    }
    if (options.json) {
        emit(options, {{"lba", lba}, {"bytes", std::vector<uint8_t>(buffer.begin(), buffer.begin() + length)}}, "");
        return;
    }
    std::fflush(stdout);
    dumpPackage(buffer.data(), static_cast<int32_t>(length));
    std::fflush(stdout);
}

void cmd_inquiry(const Options &options) {
    const Module module(options);
    const RawNode node(module);
    std::array<uint8_t, 96> data{};
    if (getInquiry(node.fd(), data.data(), data.size()) != static_cast<int32_t>(data.size())) {
        check(RESULT_READ_FAILED, "inquiry");
    }
    if (options.json) {
        const auto field = [&](std::size_t at, std::size_t length) {
            std::string text(reinterpret_cast<const char *>(&data[at]), length);
            return text.substr(0, text.find('\0'));
        };
        emit(options, {{"vendor", field(8, 8)}, {"product", field(16, 16)}, {"revision", field(32, 4)}},
             "");
        return;
    }
    std::fflush(stdout);
    showInquiry(data.data());
    std::fflush(stdout);
}

void cmd_capacity(const Options &options) {
    const Module module(options);
    const RawNode node(module);
    std::array<uint8_t, 8> data{};
    if (readCapacity(node.fd(), data.data(), data.size()) != 8) {
        check(RESULT_READ_FAILED, "read capacity");
    }
    if (options.json) {
        const uint64_t blocks = uint64_t{getU32ValBE(data.data())} + 1;
        const uint32_t length = getU32ValBE(&data[4]);
        emit(options, {{"blocks", blocks}, {"block_length", length}, {"bytes", blocks * length}}, "");
        return;
    }
    std::fflush(stdout);
    showCapacity(data.data());
    std::fflush(stdout);
}

const char *kFooter = R"TXT(
A module is named by its USB product ID and board ID: -p 0x7401 -b 3.
Masks are hex (0x..), binary (0b..) or decimal, one bit per channel, and
are printed in hex as wide as the module's channel count. A command form
without a value reads; with a value it writes.

Exit status: 0 on success; 1 when the library reports a failure (stderr:
"kdxio: <operation>: <result text> (<code>)"); 2 on a usage error.

Without hardware, run it against virtual modules:
  kdx7400-sim --module pid=0x7401,bid=3,di=16,do=16 -- kdxio -p 0x7401 -b 3 info)TXT";

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"kdxio - control KDX-7400 USB digital-I/O modules", "kdxio"};
    app.footer(kFooter);
    app.fallthrough();
    app.require_subcommand(1);
    Options options;
    app.add_option("-p,--pid", options.pid_text, "USB product ID of the module (e.g. 0x7401)");
    app.add_option("-b,--bid", options.bid_text, "board ID of the module, 0 to 15");
    app.add_flag("--json", options.json, "print one JSON object (JSON lines for monitor)");
    app.add_flag("--yes", options.yes, "confirm default, sync and reset");
    app.add_option("--interval", options.interval_ms, "monitor: poll period in ms (default 100)")
        ->check(CLI::Range(1u, 3600000u));
    app.add_option("--count", options.count, "monitor: stop after this many lines (0: never)");
    app.add_flag_function("--version", [](std::int64_t) {
        std::cout << "kdxio " << KDXIO_GetLibraryVersion() << "\n";
        throw CLI::Success();
    }, "print the library version");

    std::string action;
    std::vector<std::string> values;
    bool plain = false;
    std::function<void()> run;

    auto *list = app.add_subcommand("list", "list the modules present (from sysfs)");
    list->add_flag("--plain", plain, "print the library's own listing");
    list->callback([&] { run = [&] { cmd_list(options, plain); }; });

    app.add_subcommand("info", "firmware, nickname, counts, settings, outputs and inputs")
        ->callback([&] { run = [&] { cmd_info(options); }; });

    const auto with_actions = [&](const char *name, const char *description,
                                  std::vector<std::pair<const char *, const char *>> actions,
                                  auto handler) {
        auto *command = app.add_subcommand(name, description);
        command->require_subcommand(1);
        for (const auto &[verb, help] : actions) {
            auto *sub = command->add_subcommand(verb, help);
            sub->add_option("values", values, "arguments");
            sub->callback([&, verb = std::string(verb), handler] {
                action = verb;
                run = [&, handler] { handler(options, action, values); };
            });
        }
        return command;
    };

    with_actions("do", "digital outputs",
                 {{"get", "read the output mask"},
                  {"set", "set MASK: write the whole output mask"},
                  {"on", "on CH...: switch output channels on"},
                  {"off", "off CH...: switch output channels off"},
                  {"power-on", "power-on [MASK]: read or write the power-on mask"},
                  {"safety", "safety [FIRST SECOND]: read or write the two safety masks"},
                  {"invert", "invert [0|1]: read or write the output inversion"}},
                 cmd_do);
    auto *di = with_actions("di", "digital inputs (di CH reads one channel)",
                            {{"get", "read the input mask"},
                             {"filter", "filter [N]: read or write the input filter"},
                             {"invert", "invert [0|1]: read or write the input inversion"},
                             {"edge", "edge [0|1]: read or write the counter edge"}},
                            cmd_di);
    std::string di_channel;
    di->require_subcommand(0, 1);
    di->add_option("channel", di_channel, "read one input channel");
    di->callback([&] {
        if (!run) {
            if (di_channel.empty()) {
                throw CLI::RequiredError("di needs get, filter, invert, edge or a channel");
            }
            run = [&] { cmd_di(options, di_channel, {}); };
        }
    });
    with_actions("counter", "input counters",
                 {{"read", "read [CH]: read all counters or one"},
                  {"clear", "clear MASK: clear the counters in the mask"},
                  {"clear-channel", "clear-channel CH...: clear single counters"}},
                 cmd_counter);
    with_actions("watchdog", "software watchdog",
                 {{"get", "read the timeout"},
                  {"set", "set TIMEOUT: 100 to 1800000"},
                  {"clear", "clear the watchdog error"}},
                 cmd_watchdog);

    const auto with_value = [&](const char *name, const char *description, auto handler) {
        auto *command = app.add_subcommand(name, description);
        command->add_option("value", values, "new value (omit to read)");
        command->callback([&, handler] { run = [&, handler] { handler(); }; });
    };
    with_value("name", "name [NEW]: read or write the nickname", [&] { cmd_name(options, values); });
    with_value("protect", "protect [0|1]: read or write write protection", [&] {
        cmd_byte_setting(options, values, "protect", KDX7400_GetWriteProtect,
                         KDX7400_SetWriteProtect, 1);
    });
    with_value("frame-rate", "frame-rate [N]: read or write the frame-rate factor", [&] {
        cmd_byte_setting(options, values, "frame-rate", KDX7400_GetFrameRateFactor,
                         KDX7400_SetFrameRateFactor, 255);
    });
    with_value("opcode", "opcode [N]: read or write the opcode register", [&] {
        cmd_byte_setting(options, values, "opcode", getopcode, setopcode, 255);
    });
    app.add_subcommand("default", "restore the module's defaults (asks for --yes)")
        ->callback([&] { run = [&] { cmd_action(options, "default", KDX7400_LoadDefault); }; });
    app.add_subcommand("sync", "synchronise the module (asks for --yes)")
        ->callback([&] { run = [&] { cmd_action(options, "sync", KDX7400_SYNCDevice); }; });
    app.add_subcommand("reset", "reset the module (asks for --yes)")
        ->callback([&] { run = [&] { cmd_action(options, "reset", KDX7400_ForceReset); }; });
    app.add_subcommand("monitor", "print a timestamped line whenever inputs or counters change")
        ->callback([&] { run = [&] { cmd_monitor(options); }; });
    auto *raw = app.add_subcommand("raw", "raw register access");
    raw->require_subcommand(1);
    auto *raw_read = raw->add_subcommand("read", "read LBA LEN: dump a register block");
    raw_read->add_option("values", values, "LBA and length");
    raw_read->callback([&] { run = [&] { cmd_raw_read(options, values); }; });
    app.add_subcommand("inquiry", "print the module's INQUIRY identification")
        ->callback([&] { run = [&] { cmd_inquiry(options); }; });
    app.add_subcommand("capacity", "print the module's disk capacity")
        ->callback([&] { run = [&] { cmd_capacity(options); }; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::Success &) {
        return 0;
    } catch (const CLI::ParseError &e) {
        std::cerr << "kdxio: " << e.what() << "\n"
                  << "usage: kdxio -p PID -b BID COMMAND [ARGS]... (kdxio --help)\n";
        return kExitUsage;
    }
    try {
        run();
        std::cout.flush();
        return 0;
    } catch (const UsageError &e) {
        std::cerr << "kdxio: " << e.what() << "\n"
                  << "usage: kdxio -p PID -b BID COMMAND [ARGS]... (kdxio --help)\n";
        return kExitUsage;
    } catch (const AccessError &e) {
        std::cerr << "kdxio: " << e.what() << "\n";
        return kExitFailure;
    } catch (const LibraryError &e) {
        std::cout.flush();
        std::cerr << "kdxio: " << e.what() << "\n";
        return kExitFailure;
    }
}
