// The measured sound facts (tests/sound-facts: TSV tables and the probe and
// corpus songs behind them, rendered at 44,100 frames a second) as the
// model's tests read them.
//
//   for (const auto& row : ReadFacts("fm_release.tsv")) {
//       const HeardSpan span = SpanOfProbe(row.at("probe"));
//       ... row.Frame("last_nonsilent") ...
//   }
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "s98_builder.h"
#include "sound_model.h"

namespace zelta::test {

inline constexpr double kFramesPerSecond = 44100;

inline std::string SoundFactsPath(const std::string& name) {
    return std::string(ZELTA_SOUND_FACTS) + "/" + name;
}

// One row of a table, by column name.
struct FactRow {
    std::map<std::string, std::string> cells;
    const std::string& at(const std::string& column) const {
        const auto it = cells.find(column);
        if (it == cells.end()) throw std::out_of_range("no column " + column);
        return it->second;
    }
    bool Empty(const std::string& column) const { return at(column).empty(); }
    long long Int(const std::string& column) const { return std::stoll(at(column), nullptr, 0); }
    // A frame number as the moment it begins, in seconds (-1 stays -1).
    double Frame(const std::string& column) const {
        const long long f = Int(column);
        return f < 0 ? -1.0 : double(f) / kFramesPerSecond;
    }
};

inline std::vector<FactRow> ReadFacts(const std::string& table) {
    std::ifstream in(SoundFactsPath(table));
    if (!in) throw std::runtime_error("cannot read " + SoundFactsPath(table));
    auto split = [](const std::string& line) {
        std::vector<std::string> cells;
        std::stringstream s(line);
        for (std::string cell; std::getline(s, cell, '\t');) cells.push_back(cell);
        if (!line.empty() && line.back() == '\t') cells.emplace_back();
        return cells;
    };
    std::string line;
    std::getline(in, line);
    const std::vector<std::string> names = split(line);
    std::vector<FactRow> rows;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::vector<std::string> cells = split(line);
        cells.resize(names.size());
        FactRow row;
        for (std::size_t i = 0; i < names.size(); ++i) row.cells[names[i]] = cells[i];
        rows.push_back(std::move(row));
    }
    return rows;
}

// The model's span of a song of the facts (a path relative to the facts'
// folder, as the tables name their probes).
inline HeardSpan SpanOfProbe(const std::string& probe) {
    const std::vector<std::uint8_t> bytes = ReadFile(SoundFactsPath(probe));
    return FollowInRealTime(S98Image{bytes});
}

}  // namespace zelta::test
