// The files the pair layer keeps in the program directory:
//   pairs.dat  one line per pair: decimal pair number, TAB, parameter text
//   comdb.dat  one claimed COM name per line ("COM5"), ascending
// Readers skip what they cannot use and never fail on content; the files are
// read and written through engine/file_io.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_io.h"

struct PairLine {
    uint32_t number;
    std::string params;
};

// Lines that are not "<0..255 canonical>\t<parameter text>", whose PortName
// is not a COM name, or that repeat an earlier line's pair number or COM
// name are skipped; their 1-based line numbers go to *skipped when given.
// The result is sorted by pair number.
std::vector<PairLine> ParsePairsFile(std::string_view content, std::vector<int>* skipped = nullptr);
std::string FormatPairsFile(const std::vector<PairLine>& pairs);

// Claimed COM numbers (1..256); lines that are not a COM name are skipped.
std::set<int> ParseComDb(std::string_view content);
std::string FormatComDb(const std::set<int>& claimed);
