#include "ports/pair_text.h"


int UserSidePair(std::string_view name) { return NumberedName(name, "ZPVA", 0, kPortCount - 1); }
int BridgeSidePair(std::string_view name) { return NumberedName(name, "ZPVB", 0, kPortCount - 1); }
std::string UserSideLinkName(int pair) { return "ZPVA" + std::to_string(pair); }

namespace {

bool ValidToken(std::string_view t)
{
    if (t.empty())
        return false;
    for (unsigned char c : t)
        if (c <= ' ' || c >= 0x7F || c == ',' || c == '=')
            return false;
    return true;
}

bool IsFlag(const std::string& v) { return v == "yes" || v == "no"; }

}  // namespace

bool ParseParams(std::string_view text, ParamList* out)
{
    out->clear();
    if (text.size() > kParamTextMax)
        return false;
    if (text.empty())
        return true;
    size_t pos = 0;
    for (;;) {
        size_t end = text.find(',', pos);
        std::string_view item = text.substr(pos, end == std::string_view::npos ? text.npos : end - pos);
        size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            return false;
        std::string_view key = item.substr(0, eq), value = item.substr(eq + 1);
        if (!ValidToken(key) || !ValidToken(value) || FindParam(*out, key))
            return false;
        out->push_back({std::string(key), std::string(value)});
        if (end == std::string_view::npos)
            return true;
        pos = end + 1;
    }
}

std::string JoinParams(const ParamList& items)
{
    std::string s;
    for (const ParamItem& it : items) {
        if (!s.empty())
            s += ',';
        s += it.key + '=' + it.value;
    }
    return s;
}

const std::string* FindParam(const ParamList& items, std::string_view key)
{
    for (const ParamItem& it : items)
        if (it.key == key)
            return &it.value;
    return nullptr;
}

void SetParam(ParamList* items, const std::string& key, const std::string& value)
{
    for (ParamItem& it : *items)
        if (it.key == key) {
            it.value = value;
            return;
        }
    items->push_back({key, value});
}

bool ValidUserSideParams(const ParamList& items)
{
    for (const ParamItem& it : items) {
        if (it.key == "PortName") {
            if (ComNumber(it.value) < 0)
                return false;
        } else if (it.key == "OverrunCheck" || it.key == "BaudPacing") {
            if (!IsFlag(it.value))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

bool ValidBridgeSideParams(const ParamList& items)
{
    for (const ParamItem& it : items)
        if ((it.key != "HideDevice" && it.key != "OverrunCheck") || !IsFlag(it.value))
            return false;
    return true;
}
