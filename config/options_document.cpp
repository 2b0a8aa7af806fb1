#include "config/options_document.h"

#include <arpa/inet.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// atoi's reading without its undefined overflow: a number out of range
// gives the nearest 32-bit value.
int32_t DecimalValue(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1)
            v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX)
        v = INT32_MAX;
    return static_cast<int32_t>(v);
}

}  // namespace

bool IsElementName(const char* name)
{
    if (!name || !*name || *name == '"' || *name == '\'')
        return false;
    return strpbrk(name, " \t\r\n<>=\\/?!") == nullptr;
}

OptionsDocument::OptionsDocument() { doc.SetDocument(nullptr); }

OptionsDocument::OptionsDocument(const char* text) { doc.SetDocument(text); }

OptionsDocument::OptionsDocument(const std::string& text) { doc.SetDocument(text); }

OptionsDocument::~OptionsDocument() = default;

void OptionsDocument::NewDocument()
{
    doc.SetDocument(nullptr);
    doc.AddElement("OPTIONS");
}

int OptionsDocument::GetText(std::string& text) const
{
    text = doc.GetDocument();
    return 1;
}

// Leaves the element as child position, or with a child key the element as
// main position and the key as child position. A key with no name is never
// found: an empty name would otherwise match whichever element comes first.
bool OptionsDocument::Locate(const char* element, const char* child)
{
    doc.ResetPosition();
    if (!element || !*element || !doc.FindChildElement(element))
        return false;
    if (!child)
        return true;
    return *child && doc.IntoElement() && doc.FindChildElement(child);
}

int OptionsDocument::SetValue(const char* element, const char* child, const char* text)
{
    if (!IsElementName(element) || (child && !IsElementName(child)))
        return 0;
    doc.ResetPosition();
    bool found = doc.FindChildElement(element);
    if (found && !child)
        return 0;
    if (found) {
        doc.IntoElement();
        if (doc.FindChildElement(child))
            return 0;
        return doc.AddChildElement(child, text) ? 1 : 0;
    }
    if (child)
        return 0;
    return doc.AddChildElement(element, text) ? 1 : 0;
}

int OptionsDocument::HasElement(const char* element, const char* child)
{
    return Locate(element, child) ? 1 : 0;
}

int OptionsDocument::GetValue(const char* element, const char* child, std::string& text)
{
    if (!Locate(element, child))
        return 0;
    text = doc.GetChildData();
    return 1;
}

int OptionsDocument::SetBoolOption(const char* element, const char* child, int32_t value)
{
    return SetValue(element, child, value ? "TRUE" : "FALSE");
}

int OptionsDocument::SetIntOption(const char* element, const char* child, int32_t value)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%d", value);
    return SetValue(element, child, buf);
}

int OptionsDocument::SetAddrOption(const char* element, const char* child, uint32_t address)
{
    in_addr a{};
    a.s_addr = htonl(address);
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return SetValue(element, child, buf);
}

int OptionsDocument::SetStringOption(const char* element, const char* child, const char* text)
{
    return SetValue(element, child, text);
}

int OptionsDocument::GetBoolOption(const char* element, const char* child, int def)
{
    std::string text;
    if (!GetValue(element, child, text) || text.empty())
        return def;
    return text == "TRUE" ? 1 : 0;
}

int32_t OptionsDocument::GetIntOption(const char* element, const char* child, int32_t def)
{
    std::string text;
    if (!GetValue(element, child, text) || text.empty())
        return def;
    return DecimalValue(text);
}

uint32_t OptionsDocument::GetAddrOption(const char* element, const char* child, uint32_t def)
{
    std::string text;
    if (!GetValue(element, child, text) || text.empty())
        return def;
    return ntohl(inet_addr(text.c_str()));
}

std::string OptionsDocument::GetStringOption(const char* element, const char* child, const char* def)
{
    std::string text;
    if (!GetValue(element, child, text) || text.empty())
        return def ? def : "";
    return text;
}
