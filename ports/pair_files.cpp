#include "ports/pair_files.h"

#include <algorithm>

#include "ports/pair_text.h"

namespace {

// Splits at '\n'; a trailing '\r' is dropped so a file edited on another
// system still reads.
template <typename Fn>
void ForEachLine(std::string_view content, Fn fn)
{
    int lineNo = 0;
    while (!content.empty()) {
        size_t nl = content.find('\n');
        std::string_view line = content.substr(0, nl);
        content = nl == std::string_view::npos ? std::string_view() : content.substr(nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        fn(++lineNo, line);
    }
}

}  // namespace

std::vector<PairLine> ParsePairsFile(std::string_view content, std::vector<int>* skipped)
{
    std::vector<PairLine> pairs;
    std::set<int> numbers, comNumbers;
    ForEachLine(content, [&](int lineNo, std::string_view line) {
        if (line.empty())
            return;
        size_t tab = line.find('\t');
        int n = tab == std::string_view::npos ? -1 : NumberedName(line.substr(0, tab), "", 0, kPortCount - 1);
        ParamList items;
        bool ok = n >= 0 && ParseParams(line.substr(tab + 1), &items) && !numbers.count(n);
        int com = -1;
        if (ok) {
            if (const std::string* name = FindParam(items, "PortName")) {
                com = ComNumber(*name);
                ok = com > 0 && !comNumbers.count(com);
            }
        }
        if (!ok) {
            if (skipped)
                skipped->push_back(lineNo);
            return;
        }
        numbers.insert(n);
        if (com > 0)
            comNumbers.insert(com);
        pairs.push_back({static_cast<uint32_t>(n), std::string(line.substr(tab + 1))});
    });
    std::sort(pairs.begin(), pairs.end(),
              [](const PairLine& a, const PairLine& b) { return a.number < b.number; });
    return pairs;
}

std::string FormatPairsFile(const std::vector<PairLine>& pairs)
{
    std::string s;
    for (const PairLine& p : pairs)
        s += std::to_string(p.number) + '\t' + p.params + '\n';
    return s;
}

std::set<int> ParseComDb(std::string_view content)
{
    std::set<int> claimed;
    ForEachLine(content, [&](int, std::string_view line) {
        int n = ComNumber(line);
        if (n > 0)
            claimed.insert(n);
    });
    return claimed;
}

std::string FormatComDb(const std::set<int>& claimed)
{
    std::string s;
    for (int n : claimed)
        s += ComName(n) + '\n';
    return s;
}

