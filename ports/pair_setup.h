// The pair-setup layer: virtual serial port pairs made of pseudo-terminals.
//
// Everything lives in the program directory:
//   pairs.dat   the installed pairs, one line each: number, TAB, parameter text
//   comdb.dat   the claimed COM numbers
//   dev/        links to each pair's user side: dev/ZPVA5 and dev/COM5
//   pairs.lock  held (flock) by the copy of the program that owns the pairs
//
// The first copy of the program on a folder owns it: it makes the
// pseudo-terminals and the links, and holds every master. A second copy on
// the same folder sees the same pairs but changes nothing: its bridges find
// the bridge sides in use, and it never touches a link.
//
// Calls come from the user-interface thread, except OpenBridgeSide and
// CloseBridgeSide, which bridge threads make.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/bridge_side.h"
#include "ports/pair_text.h"
#include "engine/unique_fd.h"

// Called once per installed pair with its number and its parameter text.
// The text is the callee's own copy: it may write into it (STRTOK_R does).
using ListREdiCallback = void (*)(uint32_t pair, char* params, void* context);

class PairSetup final : public BridgeSideProvider {
public:
    // Opens the layer on a program directory: takes ownership of the folder
    // when no other copy holds it, then makes a pseudo-terminal and links
    // for every pair in pairs.dat. Gives nullptr when the directory cannot
    // be opened.
    static std::unique_ptr<PairSetup> Open(const std::string& programDir);
    // Removes the links it made and closes every master: the pairs end.
    ~PairSetup() override;
    PairSetup(const PairSetup&) = delete;
    PairSetup& operator=(const PairSetup&) = delete;

    bool OwnsFolder() const { return owner_; }
    const std::string& Directory() const { return dir_; }

    // Makes pair n (0..255) with its parameter texts for the user side and
    // the bridge side; "-", "" or nullptr give none. False when the pair
    // exists, a text is refused, or this copy does not own the folder.
    bool Install(uint32_t pair, const char* userParams, const char* bridgeParams);
    // Changes the parameters of a side ("ZPVA5" or "ZPVB5"). On the user
    // side a new PortName renames: the COM link moves and the claim with it.
    // 0 on success; non-zero for an unknown side, a refused text, a COM
    // name that another pair or device holds, or a failed write.
    int Change(const char* side, const char* params);
    bool Remove(uint32_t pair);
    void List(ListREdiCallback callback, void* context);

    // *inUse = whether the COM name's number is claimed. False for a name
    // that is not COM1..COM256.
    bool ComDbInUse(const char* comName, int* inUse);
    // Claims (claim true) or releases COM number 1..256.
    bool ClaimRelease(uint32_t comNumber, bool claim);

    // The target of a device name: "COM5" or "ZPVA5" when dev/ holds a link
    // of that name whose target exists (the target is the link's), "ZPVB5"
    // when the pair exists (target "/dev/ptmx"). Gives the characters stored
    // including the terminating zero; 0 with errno ENOENT when no such device
    // exists, ERANGE when the target does not fit in size.
    size_t QueryDevice(const char* name, char* target, size_t size);
    // The COM names that dev/ holds as links to existing devices, by number.
    std::vector<std::string> ComNamesInUse();
    // The path a user gives a serial program: "<dir>/dev/COM5"; "" for a
    // name that is not a COM or user-side name.
    std::string DevicePath(const char* name) const;

    // BridgeSideProvider: "ZPVB5" (or "\\.\ZPVB5") gives a duplicate of pair
    // 5's master, one at a time.
    int OpenBridgeSide(const char* name) override;
    void CloseBridgeSide(const char* name, int fd) override;

private:
    struct Pair {
        std::string params;
        UniqueFd master;   // invalid when the terminal could not be made
        std::string slave;
        int bridgeFd = -1; // the duplicate handed out, -1 when none
    };

    PairSetup(std::string dir, UniqueFd dirFd);
    void Start();
    void CleanDevFolder();
    std::vector<std::string> DevNames() const;
    void MakeTerminal(uint32_t number, Pair* pair);
    void LoadPairsFile(std::map<uint32_t, Pair>* pairs);
    void RefreshIfFollower();
    bool SavePairs();
    int ChangeLocked(uint32_t number, const ParamList& given);
    bool PlaceLink(const std::string& name, const std::string& target);
    void DropLink(const std::string& name, const std::string& target);
    std::string LinkTarget(const std::string& name) const;
    bool LiveLink(const std::string& name) const;
    bool UpdateClaims(const std::set<int>& claim, int release);

    std::mutex mu_;
    std::string dir_;
    UniqueFd dirFd_;
    UniqueFd devFd_;
    UniqueFd lockFd_;
    bool owner_ = false;
    bool pairsUnreadable_ = false;  // pairs.dat exists but could not be read
    std::map<uint32_t, Pair> pairs_;
};

// The process-wide layer that the functions below use. OpenPairSetup opens
// it on the program directory and makes it the engine's bridge-side
// provider; ClosePairSetup ends it at exit, after every bridge thread has
// ended. Both on the user-interface thread.
bool OpenPairSetup(const std::string& programDir);
void ClosePairSetup();
PairSetup* CurrentPairSetup();

// The pair-setup operations on the current layer. Without one they fail.
int InstallREdi(const char* userParams, const char* bridgeParams, uint32_t pair);  // non-zero: made
int ChangeREdi(const char* side, const char* params);                               // 0: success
int RemoveREdi(uint32_t pair);                                                      // non-zero: removed
// The two leading arguments are unused; callers pass 0.
int ListREdi(const void* reserved1, const void* reserved2, ListREdiCallback callback, void* context);
int ComDbGetInUse(const char* comName, int* inUse);  // non-zero: *inUse was set
int ClaimReleasePort(uint32_t comNumber, int claim); // claim 0 releases; non-zero: done
// STRTOK_R: see ports/pair_text.h.

// Does a device name exist: the device-name lookup of the port dialog, the
// repair tool and the wait for a new bridge side. Gives the characters
// stored (with the terminating zero), or 0 with errno ENOENT (no such
// device) or ERANGE (the target does not fit in size).
uint32_t QueryDosDevice(const char* name, char* target, uint32_t size);
// The lookup as the port dialog reads it: 0 when a device name is free, 1
// when it exists (its target in *target), 2 when it exists but the target
// does not fit in size.
int LookUpDevice(const char* name, size_t size, std::string* target);
// The lookup's answer as the other callers read it: the name exists when its
// target was given, and also when the target did not fit in size.
bool DeviceNameExists(const char* name, uint32_t size);
// The COM names in use on this system (present in dev/).
std::vector<std::string> SerialCommNames();
// Where a user finds a pair's user side: "<dir>/dev/COM5".
std::string PairDevicePath(const char* name);
