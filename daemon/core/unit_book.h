// SPDX-License-Identifier: MIT
// Which unit each module has had: with --all, a module keeps its unit
// across restarts, re-plugs and ports, so that a Modbus master or an open
// page never addresses another module without warning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kdxd {

class Log;

// A module's identity as the units file keeps it: "7401:3" (product ID in
// hex, board ID). Modules that show no IDs are not kept.
std::string identity_key(uint16_t product_id, uint8_t board_id);

class UnitBook {
public:
    // Reads DIR/units when dir is given; an unreadable or missing file is
    // an empty book (logged). Without dir nothing is kept across restarts.
    UnitBook(std::optional<std::string> dir, Log &log);

    // The units this identity has had, lowest first (several when identical
    // modules were seen side by side).
    std::vector<uint8_t> units_of(const std::string &key) const;
    bool reserved(uint8_t unit) const;
    // Each unit the book holds with the IDs it was given for; a line whose
    // IDs do not read is left out.
    struct Remembered {
        uint8_t unit;
        uint16_t product_id;
        uint8_t board_id;
    };
    std::vector<Remembered> remembered() const;
    // Records a unit for an identity and writes the file (atomically).
    void record(uint8_t unit, const std::string &key);
    const std::optional<std::string> &path() const { return path_; }

private:
    void save() const;

    struct Entry {
        uint8_t unit;
        std::string key;
    };
    std::optional<std::string> path_;
    std::vector<Entry> entries_;
    Log &log_;
};

// Where the book lives: --state-dir, else systemd's $STATE_DIRECTORY, else
// /var/lib/kdx7400d when it exists and may be written; else none.
std::optional<std::string> state_dir(const std::string &option);

// Writes a state file whole or not at all: aside, then renamed over the
// old one. "" when done, else why not (with the file's name).
std::string write_whole(const std::string &path, const std::string &text);

} // namespace kdxd
