#include "config/export_import.h"

#include <algorithm>
#include <climits>

#include "config/options_document.h"
#include "engine/com_name.h"
#include "engine/limits.h"
#include "engine/port_table.h"

namespace {

bool Refuse(std::string* error, std::string text)
{
    if (error)
        *error = std::move(text);
    return false;
}

int FreeSlots()
{
    return static_cast<int>(std::count_if(std::begin(PortTable), std::end(PortTable),
                                           [](const PortRecord& r) { return r.number == -1; }));
}

// Whether an element's name is "COM" and digits: a port, good or bad.
bool NamesAPort(const std::string& name)
{
    return name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
           name.find_first_not_of("0123456789", 3) == std::string::npos;
}

// The COM numbers of the document's port elements, ascending.
bool ListedPorts(const XmlDocument& doc, std::vector<int>* numbers, std::string* error)
{
    std::vector<std::string> names;
    const int32_t root = doc.Record(0).firstChild;
    for (int32_t e = root ? doc.Record(root).firstChild : 0; e; e = doc.Record(e).nextSibling)
        if (NamesAPort(doc.TagName(e)))
            names.push_back(doc.TagName(e));
    if (names.empty())
        return Refuse(error, "the list holds no ports COM1 to COM256");
    if (static_cast<int>(names.size()) > FreeSlots())
        return Refuse(error, "the list holds " + std::to_string(names.size()) + " ports, more than the " +
                                 std::to_string(FreeSlots()) + " free slots");
    for (const std::string& name : names) {
        const int n = ComNumber(name);
        if (n < 1)
            return Refuse(error, ValueForMessage(name) + " is not a port name (COM1 to COM" + std::to_string(kComNumberMax) + ")");
        if (std::find(numbers->begin(), numbers->end(), n) != numbers->end())
            return Refuse(error, name + " is listed twice");
        numbers->push_back(n);
    }
    std::sort(numbers->begin(), numbers->end());
    return true;
}

// A key's whole seconds: a decimal, written signed for values above
// INT32_MAX, so every 32-bit value reads back.
bool ReadSeconds(OptionsDocument& options, const char* el, const char* key, uint32_t def, uint32_t* out,
                 std::string* error)
{
    const std::string text = options.GetStringOption(el, key, nullptr);
    if (text.empty()) {
        *out = def;
        return true;
    }
    const size_t digits = text[0] == '-' ? 1 : 0;
    const bool decimal = text.size() > digits && text.size() <= digits + 10 &&
                         text.find_first_not_of("0123456789", digits) == std::string::npos;
    const long long v = decimal ? std::stoll(text) : 0;
    if (!decimal || v < INT32_MIN || v > UINT32_MAX)
        return Refuse(error, std::string(key) + " " + ValueForMessage(text) + " is not whole seconds");
    *out = static_cast<uint32_t>(v);
    return true;
}

// The settings of element COMn over base; false with *error naming the
// first value that does not read or pass the check.
bool ReadPort(OptionsDocument& options, int n, const PortSettings& base, PortSettings* s, std::string* error)
{
    const std::string name = ComName(n);
    const char* el = name.c_str();
    *s = base;
    s->comNumber = n;
    s->localHost = options.GetStringOption(el, "LOCADDR", "0.0.0.0");
    s->localPort = options.GetStringOption(el, "LOCPORT", "0");
    s->remoteHost = options.GetStringOption(el, "DSTADDR", "0.0.0.0");
    s->remotePort = options.GetStringOption(el, "DSTPORT", "0");
    const std::string mode = options.GetStringOption(el, "MODE", "tcpserver");
    s->mode = ModeIndexFromName(mode.c_str());
    if (mode != PortModeName(static_cast<uint32_t>(s->mode)))
        return Refuse(error, "MODE " + ValueForMessage(mode) + " is not tcpclient, tcpserver or udp");
    s->emuBR = options.GetBoolOption(el, "EMUBR", 1);
    s->useCustom = options.GetBoolOption(el, "USECUSTOM", 0);
    s->deviceName = options.GetStringOption(el, "DEVNAME", nullptr);
    s->rfc2217 = options.GetBoolOption(el, "RFC2217", 0);
    s->line = options.GetStringOption(el, "LINE", kLineDefault);
    return ReadSeconds(options, el, "KEEPALIVE", 0, &s->keepAlive, error) &&
           ReadSeconds(options, el, "IDLETIME", 0, &s->idleTime, error) &&
           ReadSeconds(options, el, "DEADPEER", kDeadPeerDefault, &s->deadPeer, error) &&
           CheckPortSettings(*s, error, FieldNaming::kOptionKeys);
}

}  // namespace

std::vector<PortSettings> ImportedPortSettings(const std::string& text, const PortSettings& base,
                                               std::string* error)
{
    OptionsDocument options(text);
    if (!options.Document().IsWellFormed()) {
        const std::string& why = options.Document().ErrorText();
        Refuse(error, "the file is no port list" + (why.empty() ? "" : " (" + why + ")"));
        return {};
    }
    std::vector<int> numbers;
    if (!ListedPorts(options.Document(), &numbers, error))
        return {};
    std::vector<PortSettings> ports(numbers.size());
    for (size_t i = 0; i < numbers.size(); ++i) {
        std::string why;
        if (!ReadPort(options, numbers[i], base, &ports[i], &why)) {
            Refuse(error, ComName(numbers[i]) + ": " + why);
            return {};
        }
    }
    return ports;
}
