#include "engine/com_name.h"

#include <cstdint>

#include "engine/limits.h"

int NumberedName(std::string_view text, std::string_view prefix, int lo, int hi)
{
    if (text.size() <= prefix.size() || text.substr(0, prefix.size()) != prefix)
        return -1;
    std::string_view digits = text.substr(prefix.size());
    if (digits.size() > 9 || (digits.size() > 1 && digits[0] == '0'))
        return -1;
    int v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        v = v * 10 + (c - '0');
    }
    return v >= lo && v <= hi ? v : -1;
}

int ComNumber(std::string_view name) { return NumberedName(name, "COM", 1, kComNumberMax); }

std::string ComName(int number) { return "COM" + std::to_string(number); }

uint32_t LeadingDigits(const char* text)
{
    uint64_t v = 0;
    if (!text)
        return 0;
    while (*text == ' ' || *text == '\t')
        ++text;
    for (; *text >= '0' && *text <= '9'; ++text) {
        v = v * 10 + static_cast<uint64_t>(*text - '0');
        if (v > UINT32_MAX)
            return UINT32_MAX;
    }
    return static_cast<uint32_t>(v);
}
