// The pair-setup layer: virtual serial port pairs whose user side is a
// pseudo-terminal or, where /dev/cuse can be opened, a CUSE character device.
//
// Everything lives in the program directory:
//   pairs.dat   the installed pairs, one line each: number, TAB, parameter text
//   comdb.dat   the claimed COM numbers
//   dev/        links to each pair's user side: dev/ZPVA5 and dev/COM5, each
//               through this process (/proc/<pid>/fd/<n>), gone with it
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
#include <string_view>
#include <vector>

#include "engine/bridge_side.h"
#include "ports/cuse_port.h"
#include "ports/pair_text.h"
#include "engine/unique_fd.h"

// An installed pair: its number and its user side's parameter text.
struct PairEntry {
    uint32_t pair;
    std::string params;
    bool operator==(const PairEntry&) const = default;
};

// What a pair's user side is made of.
enum class UserSideBackend { kPty, kCuse };

// The backend for this process: wanted "pty" or "cuse" (nullptr or empty:
// CUSE where /dev/cuse opens, pseudo-terminals elsewhere). *why tells a
// user which it is and why, in one line without a newline.
UserSideBackend ChooseBackend(const char* wanted, std::string* why);

class PairSetup final : public BridgeSideProvider {
public:
    // Opens the layer on a program directory: takes ownership of the folder
    // when no other copy holds it, then makes a pseudo-terminal and links
    // for every pair in pairs.dat. Gives nullptr when the directory cannot
    // be opened.
    static std::unique_ptr<PairSetup> Open(const std::string& programDir,
                                           UserSideBackend backend = UserSideBackend::kPty);
    // Removes the links it made and closes every master: the pairs end.
    ~PairSetup() override;
    PairSetup(const PairSetup&) = delete;
    PairSetup& operator=(const PairSetup&) = delete;

    bool OwnsFolder() const { return owner_; }
    // Another running copy holds the folder's lock; when this copy neither
    // owns nor is held off, the lock cannot be had at all, and LockError
    // says why ("/x/pairs.lock is a folder").
    bool HeldElsewhere() const { return !owner_ && lockFd_.IsValid(); }
    const std::string& LockError() const { return lockError_; }
    const std::string& Directory() const { return dir_; }

    // Every call gives true (or a non-empty result) on success and false
    // (or an empty result) otherwise; errno tells why where the system did.

    // Makes pair n (0..255) with its parameter texts for the user side and
    // the bridge side (empty: none). False when the pair exists, a text is
    // refused, or this copy does not own the folder.
    bool Install(uint32_t pair, const std::string& userParams = {}, const std::string& bridgeParams = {});
    // Changes the parameters of a side ("ZPVA5" or "ZPVB5"). On the user
    // side a new PortName renames: the COM link moves and the claim with it.
    // False for an unknown side, a refused text, a COM name that another
    // pair or device holds, or a failed write.
    bool Change(std::string_view side, std::string_view params);
    bool Remove(uint32_t pair);
    // The installed pairs, by number.
    std::vector<PairEntry> List();

    // Why the last Install, Change, Remove or SetComClaim failed when a file
    // or the folder's lock was the cause ("cannot write /x/pairs.dat:
    // Read-only file system", "/x/pairs.lock is a folder"); empty otherwise.
    std::string LastError();

    // Whether comdb.dat claims COM number n; false too when it cannot be read.
    bool ComClaimed(int comNumber);
    // Claims (claim true) or releases COM number 1..256.
    bool SetComClaim(int comNumber, bool claim);

    // The target of a device name: for "COM5" or "ZPVA5" the terminal that
    // dev/ links it to (when that exists), for "ZPVB5" "/dev/ptmx" when the
    // pair exists. Empty when no such device exists.
    std::string DeviceTarget(std::string_view name);
    bool DeviceExists(std::string_view name) { return !DeviceTarget(name).empty(); }
    // The COM names that dev/ holds as links to existing devices, by number.
    std::vector<std::string> ComNamesInUse();
    // The path a user gives a serial program: "<dir>/dev/COM5"; "" for a
    // name that is not a COM or user-side name.
    std::string DevicePath(std::string_view name) const;

    // The bridge is connected (registered, for the framed protocol): on a
    // CUSE device CTS, DSR and DCD follow it. Nothing on a pseudo-terminal.
    void SetConnected(uint32_t pair, bool connected);
    // Why pair n has no user side ("" when it has one or is not installed).
    std::string DeviceFailure(uint32_t pair);

    // BridgeSideProvider: "ZPVB5" gives a duplicate of pair 5's master, one
    // at a time.
    // A pair whose user side could not be made tries once more here.
    int OpenBridgeSide(const char* name) override;
    void CloseBridgeSide(const char* name, int fd) override;
    // Why the pair has no user side; a CUSE device's path and line.
    std::string BridgeSideFailure(const char* name) override;
    std::string UserSideText(const char* name) override;
    bool UserSideLines(const char* name, UserSideLineState* lines) override;
    // On a CUSE device: its termios (once a program set them; the port's
    // line until then), DTR, RTS, breaks and flushes; and the far end's
    // modem lines.
    void TakeUserSideLine(const char* name, LineListener& to, bool fresh) override;
    void SetUserSideModem(const char* name, uint8_t lines) override;

private:
    struct Pair {
        std::string params;
        UniqueFd master;   // invalid when the terminal could not be made
        // The CUSE device, whose bridge end master duplicates; none on a pty.
        std::unique_ptr<CusePort> cuse;
        std::string failure;  // why master is invalid
        std::string slave;
        // The user side's inode, held without opening the terminal (O_PATH),
        // and what dev/ links to: /proc/<our pid>/fd/<that descriptor>. The
        // link leads nowhere once this process has gone, however it ended,
        // so it never reaches a terminal that is later another program's.
        UniqueFd slaveInode;
        std::string link;
        int bridgeFd = -1; // the duplicate handed out, -1 when none
    };

    PairSetup(std::string dir, UniqueFd dirFd, UserSideBackend backend);
    CusePort* CuseOf(const char* bridgeName);  // under mu_
    void Start();
    void CleanDevFolder();
    std::vector<std::string> DevNames() const;
    void MakeTerminal(uint32_t number, Pair* pair);
    void RemakeUserSide(std::unique_lock<std::mutex>& lk, uint32_t number);
    void PlaceLinks(uint32_t number, Pair* pair);
    bool OpenPair(uint32_t number, Pair* pair);
    void LoadPairsFile(std::map<uint32_t, Pair>* pairs);
    void RefreshIfFollower();
    bool SavePairs();
    bool ChangeLocked(uint32_t number, const ParamList& given);
    std::string Label(uint32_t number) const;
    bool PlaceLink(const std::string& name, const std::string& target);
    bool LinkFailed(const std::string& name);  // false, with lastError_ naming the link
    void DropLink(const std::string& name, const std::string& target);
    std::string LinkTarget(const std::string& name) const;
    bool LiveLink(const std::string& name) const;
    bool UpdateClaims(const std::set<int>& claim, int release, bool only = false);

    std::mutex mu_;
    std::string dir_;
    UniqueFd dirFd_;
    UniqueFd devFd_;
    UniqueFd lockFd_;
    bool owner_ = false;
    UserSideBackend backend_;
    std::string pairsReadError_;  // pairs.dat exists but could not be read: why
    std::string lockError_;       // why this copy does not own the folder
    std::string lastError_;
    std::map<uint32_t, Pair> pairs_;
};

