#include "shell/list_json.h"

#include <nlohmann/json.hpp>

#include "engine/port_table.h"
#include "engine/trace.h"
#include "ports/pair_setup.h"

namespace {

nlohmann::json TimeOrNull(int64_t micros)
{
    return micros ? nlohmann::json(IsoUtc(micros)) : nlohmann::json(nullptr);
}

nlohmann::json TextOrNull(const std::string& text)
{
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

// The line a device server last confirmed, or null.
nlohmann::json ConfirmedLine(const PortRecord& r)
{
    LineSettings line;
    return UnpackLineSettings(r.lineConfirmed.load(), &line) ? nlohmann::json(FormatLineSettings(line))
                                                             : nlohmann::json(nullptr);
}

nlohmann::json PortObject(const PortRecord& r, PairSetup& pairs)
{
    char port[16];
    const auto relaxed = std::memory_order_relaxed;
    return {
        {"pair", r.number},
        {"name", r.name},
        {"mode", PortModeName(r.mode)},
        {"remote", std::string(DstAddrText(&r)) + ":" + DstPortText(&r, port, sizeof port)},
        {"local", std::string(LocAddrText(&r)) + ":" + LocPortText(&r, port, sizeof port)},
        {"device", pairs.DevicePath(r.name)},
        {"state", PortStateText(r.state.load())},
        {"peer", TextOrNull(PeerText(&r))},
        {"bytes_from_serial", r.bytesOut.load(relaxed)},
        {"bytes_to_serial", r.bytesIn.load(relaxed)},
        {"connects", r.connects.load(relaxed)},
        {"last_error", TextOrNull(LastFailureText(&r))},
        {"last_error_at", TimeOrNull(r.lastErrorAt.load(relaxed))},
        {"last_from_serial_at", TimeOrNull(r.lastFromSerialAt.load(relaxed))},
        {"last_to_serial_at", TimeOrNull(r.lastToSerialAt.load(relaxed))},
        {"state_since", TimeOrNull(r.stateSince.load(relaxed))},
        {"rfc2217", r.rfc2217 != 0},
        {"line", FormatLineSettings(r.line)},
        {"line_confirmed", ConfirmedLine(r)},
    };
}

}  // namespace

std::string ListJson(PairSetup& pairs)
{
    nlohmann::json list = nlohmann::json::array();
    for (const PortRecord& r : PortTable)
        if (r.number != -1)
            list.push_back(PortObject(r, pairs));
    // Names and addresses come from files a person may have edited: bytes
    // that are not UTF-8 are replaced rather than ending the output.
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
