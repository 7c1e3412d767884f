// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include "../common/module_json.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <sstream>

namespace kdxio {

namespace {

void info(const Options &options) {
    kdx::Module module = open_module(options);
    // One moment: no other user's write lands between the reads.
    const kdx::ModuleLock held = module.lock();
    const kdx::ChannelCounts &n = module.counts();
    const kdx7400_module_info about = module.info(); // firmware, watchdog, inputs: one read
    const uint16_t version = about.firmware_version;
    const std::string date = about.firmware_date;
    const std::string name = module.nickname();
    const uint32_t timeout = about.watchdog_timeout;
    const uint8_t protect = module.write_protect();
    const uint8_t factor = module.frame_rate_factor();
    const uint64_t outputs = module.read_outputs();
    const uint64_t inputs = about.inputs;
    const std::string node = module.node();
    // The shape of GET /api/modules/{id} of kdx7400d, as far as kdxio reads.
    kdxjson::Identity identity{node, std::nullopt, std::nullopt, "", version, date, name, n};
    std::ostringstream text;
    text << "node              " << node << "\n";
    if (options.node.empty()) {
        const uint16_t pid = parse_product_id(options.pid_text);
        const uint8_t bid = parse_board_id(options.bid_text);
        identity.product_id = pid;
        identity.board_id = bid;
        text << "module            " << hex(pid, 4) << " board " << int{bid} << "\n";
    }
    kdxjson::complete_from_listing(identity);
    const json object = {{"identity", kdxjson::identity(identity)},
                         {"nickname", name},
                         {"watchdog_timeout", timeout},
                         {"write_protect", protect != 0},
                         {"frame_rate_factor", factor},
                         {"outputs", kdxjson::mask(outputs)},
                         {"inputs", kdxjson::mask(inputs)}};
    text << "firmware          " << hex(version, 4) << " (" << date << ")\n"
         << "nickname          " << name << "\n"
         << "channels          DO " << int{n.do_} << ", DI " << int{n.di} << ", AO " << int{n.ao}
         << ", AI " << int{n.ai} << ", PO " << int{n.po} << ", PI " << int{n.pi} << "\n"
         << "watchdog timeout  " << timeout << (timeout == 0 ? " (off)" : " ms") << "\n"
         << "write protect     " << int{protect} << "\n"
         << "frame-rate factor " << int{factor} << "\n"
         << "outputs           " << hex_mask(outputs, n.do_) << "\n"
         << "inputs            " << hex_mask(inputs, n.di) << "\n";
    emit(options, object, text.str());
}

} // namespace

void add_info(CLI::App &app, Options &options, Run &run) {
    app.add_subcommand("info", "firmware, nickname, counts, settings, outputs and inputs")
        ->callback([&] { run = [&] { info(options); }; });
}

} // namespace kdxio
