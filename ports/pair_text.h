// The texts of the pair layer: device names ("COM5", "ZPVA5", "ZPVB5") and
// parameter texts ("PortName=COM5,OverrunCheck=yes,BaudPacing=yes").
// Every name that reaches a path goes through these readers first, so only
// the canonical forms below can ever name a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr int kPairCount = 256;      // pair numbers 0..255
constexpr int kComNumberMax = 256;   // COM names COM1..COM256
constexpr size_t kParamTextMax = 127;

// The number of "<prefix><decimal>" when the decimal is canonical (no sign,
// no leading zero, nothing after it) and lies within lo..hi; -1 otherwise.
int NumberedName(std::string_view text, std::string_view prefix, int lo, int hi);

int ComNumber(std::string_view name);       // "COM5" -> 5, 1..256
int UserSidePair(std::string_view name);    // "ZPVA5" -> 5, 0..255
int BridgeSidePair(std::string_view name);  // "ZPVB5" -> 5, 0..255
std::string ComName(int number);            // 5 -> "COM5"
std::string UserSideLinkName(int pair);     // 5 -> "ZPVA5"

struct ParamItem {
    std::string key;
    std::string value;
};
using ParamList = std::vector<ParamItem>;

// Reads "key=value,key=value". Keys and values are non-empty runs of
// printable characters other than ',', '=' and blanks; a key appears once;
// the text is at most kParamTextMax characters. An empty text is an empty
// list. Gives false for anything else.
bool ParseParams(std::string_view text, ParamList* out);
std::string JoinParams(const ParamList& items);

// The value of key, or nullptr.
const std::string* FindParam(const ParamList& items, std::string_view key);
// Replaces the value of key, or appends the item when the key is new.
void SetParam(ParamList* items, const std::string& key, const std::string& value);

// Which keys each side accepts from a caller, and their values: PortName a
// COM name; the flags "yes" or "no". Gives false for an unknown key or value.
bool ValidUserSideParams(const ParamList& items);
bool ValidBridgeSideParams(const ParamList& items);

// Re-entrant tokenizer with the contract of POSIX strtok_r: skips leading
// delimiters, cuts the token with a zero byte (writing into text) and keeps
// the rest in *save for the next call with text == nullptr.
char* STRTOK_R(char* text, const char* delims, char** save);
