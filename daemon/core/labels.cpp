// SPDX-License-Identifier: MIT
#include "core/labels.h"

#include "core/unit_book.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kdxd {

namespace {

std::vector<std::string> names_of(const nlohmann::json &list) {
    std::vector<std::string> out;
    if (!list.is_array()) return out;
    for (const auto &name : list) {
        if (out.size() == Labels::kMaxChannels) break;
        out.push_back(name.is_string() ? name.get<std::string>().substr(0, Labels::kMaxBytes) : std::string());
    }
    return out;
}

} // namespace

LabelStore::LabelStore(std::optional<std::string> dir) : dir_(std::move(dir)) {
    if (dir_) *dir_ += "/labels";
}

Labels LabelStore::load(uint8_t unit) const {
    if (!dir_) return {};
    std::ifstream file(*dir_ + "/" + std::to_string(unit) + ".json");
    if (!file) return {};
    const nlohmann::json saved = nlohmann::json::parse(file, nullptr, false);
    if (!saved.is_object()) return {}; // damaged: the names are lost, not the daemon
    return {names_of(saved.value("inputs", nlohmann::json())), names_of(saved.value("outputs", nlohmann::json()))};
}

void LabelStore::save(uint8_t unit, const Labels &labels) const {
    if (!dir_) throw std::runtime_error("labels cannot be kept: the daemon has no state folder (--state-dir)");
    std::error_code made;
    std::filesystem::create_directories(*dir_, made);
    const std::string path = *dir_ + "/" + std::to_string(unit) + ".json";
    const std::string failed =
        write_whole(path, nlohmann::json{{"inputs", labels.inputs}, {"outputs", labels.outputs}}.dump() + "\n");
    if (!failed.empty()) throw std::runtime_error("labels cannot be kept: " + failed);
}

} // namespace kdxd
