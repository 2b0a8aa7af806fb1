// COM names: the one reader and writer of "COM<n>". Only the canonical form
// counts (no sign, no leading zero, nothing after the number, 1..256), so a
// name read anywhere in the program means what the pair layer means by it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The number of "<prefix><decimal>" when the decimal is canonical and lies
// within lo..hi; -1 otherwise.
int NumberedName(std::string_view text, std::string_view prefix, int lo, int hi);

int ComNumber(std::string_view name);  // "COM5" -> 5; -1 for "COM05", "COM0", "com5", "COM257"
std::string ComName(int number);       // 5 -> "COM5"

// atoi's reading of a decimal text, unsigned: leading blanks skipped, digits
// up to the first other character, 0 when none; saturates instead of wrapping.
uint32_t LeadingDigits(const char* text);
