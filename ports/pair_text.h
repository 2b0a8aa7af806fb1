// The texts of the pair layer: device names ("COM5", "ZPVA5", "ZPVB5") and
// parameter texts ("PortName=COM5,OverrunCheck=yes,BaudPacing=yes").
// Every name that reaches a path goes through these readers first, so only
// the canonical forms below can ever name a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/com_name.h"
#include "engine/limits.h"

constexpr size_t kParamTextMax = 127;

int UserSidePair(std::string_view name);    // "ZPVA5" -> 5, 0..255
int BridgeSidePair(std::string_view name);  // "ZPVB5" -> 5, 0..255
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
