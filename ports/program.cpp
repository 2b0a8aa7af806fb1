#include "ports/program.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/options_document.h"
#include "config/port_options.h"
#include "engine/bridge.h"
#include "engine/bridge_side.h"
#include "engine/com_name.h"
#include "engine/port_table.h"
#include "engine/stop_event.h"

Program::Program(std::string dir) : dir_(std::move(dir)) {}

Program::~Program() { Stop(false); }

Program::Opened Program::Open(PortStateTarget* target, bool bridges, const char* backend)
{
    bridges_ = bridges;
    target_ = target;
    // Without a readable file the flags stay off and the text empty.
    std::string error;
    if (!LoadOptions(options_, dir_.c_str(), &error) && access(OptionsPath(dir_).c_str(), F_OK) == 0)
        optionsError_ = error;
    InitPortTable(this);
    const UserSideBackend chosen = ChooseBackend(bridges ? backend : "pty", &backendNote_);
    pairs_ = PairSetup::Open(dir_, chosen);
    if (!pairs_ || (!pairs_->OwnsFolder() && !pairs_->HeldElsewhere())) {
        openError_ = pairs_ ? pairs_->LockError() : "cannot open the folder " + dir_ + ": " + strerror(errno);
        pairs_.reset();
        ended_ = true;
        return Opened::kNoFolder;
    }
    if (!pairs_->OwnsFolder())
        return Opened::kHeld;
    // Left by a save that a crash cut short; this copy is the only writer.
    unlink((OptionsPath(dir_) + ".tmp").c_str());
    if (bridges_)
        SetBridgeSideProvider(pairs_.get());
    Discover();
    return Opened::kOwner;
}

// Every installed pair gets its slot: number, "Stopped", the COM name of its
// parameter text, and its settings from the options document.
void Program::Discover()
{
    OptionsDocument options(options_.optionsText.c_str());
    for (const PairEntry& entry : pairs_->List()) {
        if (entry.pair >= static_cast<uint32_t>(kPortCount))
            continue;  // no slot for it: never written past the table
        PortRecord* r = &PortTable[entry.pair];
        r->number = static_cast<int32_t>(entry.pair);
        PostPortState(r, STATE_STOPPED);
        ParamList items;
        const std::string* name = ParseParams(entry.params, &items) ? FindParam(items, "PortName") : nullptr;
        // A name that does not fit the field is not taken: cut, it would
        // name another port. The row then shows no name and the port is not
        // started, but it can still be edited or deleted.
        if (name && name->size() < sizeof r->name - 1)
            CopyField(r->name, sizeof r->name, name->c_str(), sizeof r->name - 2);
        ReadPortOptions(options, r);
        if (const std::string failure = pairs_->DeviceFailure(entry.pair); !failure.empty())
            NoteFailure(r, ENODEV, failure);
    }
}

void Program::PostPortStateMessage(PortRecord* record, int32_t state)
{
    if (pairs_ && bridges_ && record->number >= 0) {
        const bool connected = state == STATE_REGISTERED || (state == STATE_CONNECTED && !record->useCustom);
        pairs_->SetConnected(static_cast<uint32_t>(record->number), connected);
    }
    if (target_)
        target_->PostPortStateMessage(record, state);
}

void Program::StartBridges()
{
    if (!bridges_ || ended_ || !options_.settings.startup)
        return;
    for (PortRecord& r : PortTable)
        if (r.number != -1 && ComNumber(r.name) > 0)
            StartBridge(&r);
}

bool Program::Stop(bool save, std::string* error)
{
    // A program never opened has no ports of its own to stop.
    if (ended_ || !pairs_) {
        ended_ = true;
        return true;
    }
    ended_ = true;
    // Every bridge is asked first, so that pauses they cannot cut short
    // run side by side rather than one after another.
    for (PortRecord& r : PortTable)
        if (r.number != -1 && r.stopEvent)
            r.stopEvent->Signal();
    for (PortRecord& r : PortTable)
        if (r.number != -1)
            StopBridge(&r);
    // A bridge that outlived its stop must end before its pair goes away.
    JoinAllBridges();
    // States posted from now on, when this object may be gone, go straight
    // to the user's target.
    for (PortRecord& r : PortTable)
        r.notify = target_;
    // Only the folder's owner writes its options: a copy that merely saw
    // them would put back ports and filters changed meanwhile.
    const bool saved = !save || !pairs_ || !pairs_->OwnsFolder() || SaveOptions(options_, OptionsPath(dir_).c_str(), false, error);
    if (GetBridgeSideProvider() == pairs_.get())
        SetBridgeSideProvider(nullptr);
    pairs_.reset();
    return saved;
}
