// The files the pair layer keeps in the program directory:
//   pairs.dat  one line per pair: decimal pair number, TAB, parameter text
//   comdb.dat  one claimed COM name per line ("COM5"), ascending
// Readers skip what they cannot use and never fail on content; writers
// replace a file whole, through a temporary file and a rename, so a reader
// (or a crash) never sees half a file.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

// Reads at most limit bytes of dir/name. A missing file reads as empty and
// succeeds; any other failure gives false with errno set.
bool ReadSmallFile(int dirfd, const char* name, size_t limit, std::string* out);

// Reads dir/name whole, at any size, keeping each line of at most lineMax
// bytes as it is and putting "#" (which no reader takes) in place of a longer
// one: line numbers stay true, a line is never cut into something else, and
// memory is bounded by the short lines. A missing file reads as empty; a
// file that is not a regular file (a directory, a FIFO) gives false.
bool ReadLineFile(int dirfd, const char* name, size_t lineMax, std::string* out);

// Writes dir/name whole through "name.tmp" and a rename. Gives false with
// errno set, leaving the old file as it was.
bool WriteFileAtomic(int dirfd, const char* name, std::string_view content);
