// SPDX-License-Identifier: MIT
#include "core/unit_book.h"

#include "core/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace kdxd {

std::string identity_key(uint16_t product_id, uint8_t board_id) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%u", unsigned{product_id}, unsigned{board_id});
    return text;
}

std::optional<std::string> state_dir(const std::string &option) {
    if (!option.empty()) return option;
    if (const char *systemd = std::getenv("STATE_DIRECTORY"); systemd != nullptr && *systemd != '\0') {
        std::string dir = systemd;
        return dir.substr(0, dir.find(':')); // the first of several
    }
    if (::access("/var/lib/kdx7400d", W_OK) == 0) return std::string("/var/lib/kdx7400d");
    return std::nullopt;
}

UnitBook::UnitBook(std::optional<std::string> dir, Log &log) : log_(log) {
    if (!dir) {
        log_.line(Topic::Service, "units are not kept across restarts (no --state-dir)");
        return;
    }
    path_ = *dir + "/units";
    std::error_code made;
    std::filesystem::create_directories(*dir, made);
    if (made) {
        log_.line(Topic::Service, "cannot make " + *dir + ": " + made.message());
    }
    std::ifstream file(*path_);
    if (!file) {
        if (errno != ENOENT) {
            log_.line(Topic::Service, "cannot read " + *path_ + ": " + std::strerror(errno) + "; starting afresh");
        }
        return;
    }
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        unsigned unit = 0;
        std::string key;
        if (line.empty() || line[0] == '#' || !(words >> unit >> key) || unit < 1 || unit > 247 || reserved(static_cast<uint8_t>(unit))) {
            continue; // a line we did not write: ignored, and gone at the next save
        }
        entries_.push_back({static_cast<uint8_t>(unit), key});
    }
    log_.line(Topic::Service, "units of " + std::to_string(entries_.size()) + " modules from " + *path_);
}

std::vector<uint8_t> UnitBook::units_of(const std::string &key) const {
    std::vector<uint8_t> units;
    for (const Entry &entry : entries_) {
        if (entry.key == key) units.push_back(entry.unit);
    }
    std::sort(units.begin(), units.end());
    return units;
}

std::vector<UnitBook::Remembered> UnitBook::remembered() const {
    std::vector<Remembered> units;
    for (const Entry &entry : entries_) {
        const std::size_t colon = entry.key.find(':');
        const std::string product = entry.key.substr(0, colon), board = entry.key.substr(colon + 1);
        if (colon != 4 || product.find_first_not_of("0123456789abcdef") != std::string::npos || board.empty() ||
            board.size() > 2 || board.find_first_not_of("0123456789") != std::string::npos || std::stoul(board) > 15) {
            continue;
        }
        units.push_back({entry.unit, static_cast<uint16_t>(std::stoul(product, nullptr, 16)),
                         static_cast<uint8_t>(std::stoul(board))});
    }
    return units;
}

bool UnitBook::reserved(uint8_t unit) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry &e) { return e.unit == unit; });
}

void UnitBook::record(uint8_t unit, const std::string &key) {
    if (reserved(unit)) return;
    entries_.push_back({unit, key});
    save();
}

void UnitBook::save() const {
    if (!path_) return;
    std::string text = "# kdx7400d: the unit of each module (UNIT PRODUCT:BOARD), kept across restarts\n";
    for (const Entry &entry : entries_) text += std::to_string(entry.unit) + " " + entry.key + "\n";
    if (const std::string failed = write_whole(*path_, text); !failed.empty()) log_.line(Topic::Service, failed);
}

std::string write_whole(const std::string &path, const std::string &text) {
    const std::string fresh = path + ".new";
    {
        std::ofstream file(fresh, std::ios::trunc);
        file << text;
        if (!file.flush()) return "cannot write " + fresh + ": " + std::strerror(errno);
    }
    if (std::rename(fresh.c_str(), path.c_str()) != 0) return "cannot replace " + path + ": " + std::strerror(errno);
    return std::string();
}

} // namespace kdxd
