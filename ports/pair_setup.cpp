#include "ports/pair_setup.h"

#include "engine/diagnostics.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>

#include "config/data_dir.h"
#include "engine/line_settings.h"
#include "ports/pair_files.h"
#include "ports/pty_pair.h"

namespace {

const char kTempPrefix[] = ".tmp.";
const char kBridgeTarget[] = "/dev/ptmx";
constexpr size_t kFileLimit = 1 << 20;
// Far beyond any valid line of pairs.dat; longer lines are skipped unread.
constexpr size_t kPairLineMax = 4096;
constexpr size_t kSkippedShown = 5;

int ComOf(const std::string& params)
{
    ParamList items;
    if (!ParseParams(params, &items))
        return -1;
    const std::string* name = FindParam(items, "PortName");
    return name ? ComNumber(*name) : -1;
}

// The device's line as a protocol sends it: the baud as the program gave
// it (any rate), the rest as its flags say.
LineSettings LineOfDevice(const CuseLineSettings& d, const LineSettings& base)
{
    termios t{};
    t.c_iflag = d.iflag;
    t.c_cflag = d.cflag;
    LineSettings line = LineSettingsFromTermios(t, base);
    line.baud = d.ospeed;
    return line;
}

// The port's line on a device no program has set: its flags through the
// termios form, its baud as it is (any rate).
void OfferLine(CusePort& cuse, const LineSettings& line)
{
    const CuseLineSettings d = cuse.Settings();
    termios t{};
    t.c_iflag = d.iflag;
    t.c_cflag = d.cflag;
    LineSettingsToTermios(line, &t);
    cuse.OfferLine(t.c_iflag, t.c_cflag, line.baud);
}

}  // namespace

UserSideBackend ChooseBackend(const char* wanted, std::string* why)
{
    const std::string want = wanted ? wanted : "";
    if (want == "pty") {
        *why = "ports are pseudo-terminals (VELKARO_REDI_BACKEND=pty)";
        return UserSideBackend::kPty;
    }
    std::string note;
    if (!want.empty() && want != "cuse")
        note = " (VELKARO_REDI_BACKEND=" + want + " is neither pty nor cuse)";
    UniqueFd cuse(open("/dev/cuse", O_RDWR | O_CLOEXEC));
    if (cuse.IsValid()) {
        *why = std::string("ports are CUSE character devices (/dev/cuse opened") +
               (geteuid() == 0 ? " as root)" : ")") + note;
        return UserSideBackend::kCuse;
    }
    *why = std::string("ports are pseudo-terminals: /dev/cuse cannot be opened (") + strerror(errno) + ")" + note;
    return UserSideBackend::kPty;
}

PairSetup::PairSetup(std::string dir, UniqueFd dirFd, UserSideBackend backend)
    : dir_(std::move(dir)), dirFd_(std::move(dirFd)), backend_(backend)
{
}

std::unique_ptr<PairSetup> PairSetup::Open(const std::string& programDir, UserSideBackend backend)
{
    UniqueFd dirFd(open(programDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.IsValid())
        return nullptr;
    std::string dir = programDir;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::unique_ptr<PairSetup> ps(new PairSetup(dir, std::move(dirFd), backend));
    ps->Start();
    return ps;
}

void PairSetup::Start()
{
    std::lock_guard<std::mutex> lk(mu_);
    // The lock is held for the life of this object; a second copy of the
    // program fails to take it and stays a follower. A folder where the
    // lock file cannot be made is read-only to us anyway.
    lockFd_.Reset(openat(dirFd_.Get(), kLockFileName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    owner_ = lockFd_.IsValid() && flock(lockFd_.Get(), LOCK_EX | LOCK_NB) == 0;
    const std::string lock = dir_ + "/" + kLockFileName;
    if (lockFd_.IsValid() && !owner_)
        lockError_ = lock + " is held by another running copy of the program";
    else if (!owner_)
        lockError_ = errno == EISDIR ? lock + " is a folder" : "cannot open " + lock + ": " + strerror(errno);
    if (owner_)
        mkdirat(dirFd_.Get(), kDevFolderName, 0755);
    // No following: dev/ as a link would let our unlinks reach another folder.
    devFd_.Reset(openat(dirFd_.Get(), kDevFolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!owner_) {
        LoadPairsFile(&pairs_);
        return;
    }
    if (!devFd_.IsValid())
        LogNote("openat(%s/%s): %s; pairs get no links\n", dir_.c_str(), kDevFolderName, strerror(errno));
    CleanDevFolder();
    // Left by a write that a crash cut short; this copy is the only writer.
    for (const char* file : {kPairsFileName, kComDbFileName})
        unlinkat(dirFd_.Get(), (std::string(file) + ".tmp").c_str(), 0);
    LoadPairsFile(&pairs_);
    std::set<int> names;
    for (auto& [number, pair] : pairs_) {
        MakeTerminal(number, &pair);
        if (int com = ComOf(pair.params); com > 0)
            names.insert(com);
    }
    // A lost or older comdb.dat learns the names the pairs carry; a claim
    // without a pair, which a crash in the middle of an Add or a Delete
    // leaves, goes (unless the pairs could not be read).
    UpdateClaims(names, -1, pairsReadError_.empty());
}

PairSetup::~PairSetup()
{
    std::lock_guard<std::mutex> lk(mu_);
    if (!owner_)
        return;
    for (auto& [number, pair] : pairs_) {
        DropLink(UserSideLinkName(static_cast<int>(number)), pair.link);
        if (int com = ComOf(pair.params); com > 0)
            DropLink(ComName(com), pair.link);
    }
}

// Links left by an earlier run point nowhere, or, worse, at a terminal that
// now belongs to another program: only the owner's own links may stay, and
// it has made none yet.
void PairSetup::CleanDevFolder()
{
    for (const std::string& name : DevNames()) {
        struct stat st{};
        if (fstatat(devFd_.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            continue;
        bool ours = ComNumber(name) > 0 || UserSidePair(name) >= 0 ||
                    name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) == 0;
        // Ours lead to a terminal directly (an older run) or through a
        // process, whose number may since be another's.
        const std::string target = LinkTarget(name);
        bool toTerminal = target.compare(0, 9, "/dev/pts/") == 0 || target.compare(0, 6, "/proc/") == 0 ||
                          target.compare(0, 9, "/dev/ttyS") == 0;
        if ((ours && toTerminal) || !LiveLink(name))
            unlinkat(devFd_.Get(), name.c_str(), 0);
    }
}

std::vector<std::string> PairSetup::DevNames() const
{
    std::vector<std::string> names;
    int fd = devFd_.IsValid() ? openat(devFd_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0)
            close(fd);
        return names;
    }
    while (dirent* e = readdir(d))
        names.emplace_back(e->d_name);
    closedir(d);
    return names;
}

// The user side and the path dev/ links to. A pseudo-terminal's is one
// through this process: opening it opens the terminal as opening /dev/pts/N
// does (a new open file description, the terminal's own permissions); the
// O_PATH descriptor itself opens nothing, so the master still sees a
// hangup while no serial program holds the user side. A CUSE device is
// linked by name: it exists only while this process serves it.
bool PairSetup::OpenPair(uint32_t number, Pair* pair)
{
    if (backend_ == UserSideBackend::kCuse) {
        pair->cuse = CusePort::Create(CuseNodeForPair(static_cast<int>(number)), &pair->failure);
        if (pair->cuse)
            pair->master.Reset(fcntl(pair->cuse->BridgeFd(), F_DUPFD_CLOEXEC, 0));
        if (!pair->master.IsValid()) {
            if (pair->cuse)
                pair->failure = std::string("dup: ") + strerror(errno);
            pair->cuse.reset();
            errno = ENODEV;
            return false;
        }
        pair->slave = pair->link = pair->cuse->Path();
        return true;
    }
    if (!OpenRawPty(&pair->master, &pair->slave)) {
        pair->failure = std::string("open(/dev/ptmx): ") + strerror(errno);
        return false;
    }
    pair->slaveInode.Reset(open(pair->slave.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!pair->slaveInode.IsValid()) {
        pair->failure = "open(" + pair->slave + "): " + strerror(errno);
        pair->master.Reset();
        return false;
    }
    pair->link = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(pair->slaveInode.Get());
    return true;
}

void PairSetup::MakeTerminal(uint32_t number, Pair* pair)
{
    if (!OpenPair(number, pair)) {
        LogNote("%s: %s\n", Label(number).c_str(), pair->failure.c_str());
        return;
    }
    PlaceLinks(number, pair);
}

// A user side that could not be made is tried again when its bridge side is
// asked for, at a start of its port: whatever held its name may have gone.
// It is made without the lock, which a slow kernel would hold up.
void PairSetup::RemakeUserSide(std::unique_lock<std::mutex>& lk, uint32_t number)
{
    Pair fresh;
    lk.unlock();
    const bool made = OpenPair(number, &fresh);
    lk.lock();
    auto it = pairs_.find(number);
    if (it == pairs_.end() || it->second.master.IsValid())
        return;  // removed, or made meanwhile
    if (!made) {
        if (fresh.failure != it->second.failure)
            LogNote("%s: %s\n", Label(number).c_str(), fresh.failure.c_str());
        it->second.failure = fresh.failure;
        return;
    }
    fresh.params = std::move(it->second.params);
    it->second = std::move(fresh);
    LogNote("%s: %s made\n", Label(number).c_str(), it->second.slave.c_str());
    PlaceLinks(number, &it->second);
}

void PairSetup::PlaceLinks(uint32_t number, Pair* pair)
{
    const std::string label = Label(number);
    std::string names[] = {UserSideLinkName(static_cast<int>(number)), ""};
    if (int com = ComOf(pair->params); com > 0)
        names[1] = ComName(com);
    for (const std::string& name : names)
        if (!name.empty() && !PlaceLink(name, pair->link))
            LogNote("%s: symlink(%s/%s/%s -> %s): %s\n", label.c_str(), dir_.c_str(), kDevFolderName,
                    name.c_str(), pair->link.c_str(), strerror(errno));
}

void PairSetup::LoadPairsFile(std::map<uint32_t, Pair>* pairs)
{
    pairs->clear();
    std::string content;
    // Read whole, whatever its size: a valid line after a heap of junk is
    // still the user's pair, and would be lost at the next save otherwise.
    std::string error;
    if (!ReadLineFile(dirFd_.Get(), kPairsFileName, kPairLineMax, &content, &error)) {
        if (owner_) {
            LogNote("%s; pairs cannot be changed\n", error.c_str());
            // Writing it now would replace the user's pairs with ours.
            pairsReadError_ = error;
        }
        return;
    }
    std::vector<int> skipped;
    for (PairLine& line : ParsePairsFile(content, &skipped))
        (*pairs)[line.number].params = std::move(line.params);
    // Only the owner reports, so a follower's repeated reads stay quiet; one
    // short note however many lines were bad.
    if (owner_ && !skipped.empty()) {
        std::string shown;
        for (size_t i = 0; i < skipped.size() && i < kSkippedShown; ++i)
            shown += (i ? ", " : "") + std::to_string(skipped[i]);
        LogNote("%s/%s: %zu line%s skipped (line %s%s)\n", dir_.c_str(), kPairsFileName, skipped.size(),
                skipped.size() == 1 ? "" : "s", shown.c_str(), skipped.size() > kSkippedShown ? ", ..." : "");
    }
}

// A follower's view is the owner's file as it stands now.
void PairSetup::RefreshIfFollower()
{
    if (!owner_)
        LoadPairsFile(&pairs_);
}

bool PairSetup::SavePairs()
{
    if (!pairsReadError_.empty()) {
        lastError_ = pairsReadError_ + "; it is not written over";
        errno = EACCES;
        return false;
    }
    std::vector<PairLine> lines;
    for (const auto& [number, pair] : pairs_)
        lines.push_back({number, pair.params});
    return WriteFileAtomic(dirFd_.Get(), kPairsFileName, FormatPairsFile(lines), &lastError_);
}

std::string PairSetup::LinkTarget(const std::string& name) const
{
    char buf[PATH_MAX];
    ssize_t n = devFd_.IsValid() ? readlinkat(devFd_.Get(), name.c_str(), buf, sizeof buf) : -1;
    return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool PairSetup::LiveLink(const std::string& name) const
{
    struct stat st{};
    return devFd_.IsValid() && fstatat(devFd_.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(st.st_mode) && fstatat(devFd_.Get(), name.c_str(), &st, 0) == 0;
}

// Puts dev/<name> -> target in place in one rename. Anything there already
// stays unless it is a link that points nowhere or at this very target: a
// link someone made to a real device is not ours to replace.
bool PairSetup::PlaceLink(const std::string& name, const std::string& target)
{
    if (!devFd_.IsValid() || target.empty()) {
        errno = ENOENT;
        return false;
    }
    struct stat st{};
    if (fstatat(devFd_.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (!S_ISLNK(st.st_mode) || (LinkTarget(name) != target && LiveLink(name)))) {
        errno = EEXIST;
        return false;
    }
    std::string tmp = kTempPrefix + name;
    unlinkat(devFd_.Get(), tmp.c_str(), 0);
    if (symlinkat(target.c_str(), devFd_.Get(), tmp.c_str()) != 0)
        return false;
    if (renameat(devFd_.Get(), tmp.c_str(), devFd_.Get(), name.c_str()) != 0) {
        int err = errno;
        unlinkat(devFd_.Get(), tmp.c_str(), 0);
        errno = err;
        return false;
    }
    return true;
}

bool PairSetup::LinkFailed(const std::string& name)
{
    lastError_ = "cannot link " + dir_ + "/" + kDevFolderName + "/" + name + ": " + strerror(errno);
    return false;
}

// Removes dev/<name> only while it still points at our terminal.
void PairSetup::DropLink(const std::string& name, const std::string& target)
{
    if (devFd_.IsValid() && !target.empty() && LinkTarget(name) == target)
        unlinkat(devFd_.Get(), name.c_str(), 0);
}

// Claims some COM numbers and releases one (-1 for none) in one write of
// comdb.dat; with only on, every other claim goes too. Only the owner
// writes the file.
bool PairSetup::UpdateClaims(const std::set<int>& claim, int release, bool only)
{
    std::string content;
    if (!owner_)
        lastError_ = lockError_;
    if (!owner_ || !ReadSmallFile(dirFd_.Get(), kComDbFileName, kFileLimit, &content, &lastError_))
        return false;
    std::set<int> claimed = ParseComDb(content);
    std::set<int> before = claimed;
    if (only)
        claimed.clear();
    if (release > 0)
        claimed.erase(release);
    claimed.insert(claim.begin(), claim.end());
    if (claimed == before)
        return true;
    if (!WriteFileAtomic(dirFd_.Get(), kComDbFileName, FormatComDb(claimed), &lastError_)) {
        LogNote("%s\n", lastError_.c_str());
        return false;
    }
    return true;
}

bool PairSetup::Install(uint32_t number, const std::string& userParams, const std::string& bridgeParams)
{
    ParamList user, bridge;
    if (number >= kPortCount || !ParseParams(userParams, &user) || !ValidUserSideParams(user) ||
        !ParseParams(bridgeParams, &bridge) || !ValidBridgeSideParams(bridge))
        return false;
    std::lock_guard<std::mutex> lk(mu_);
    lastError_ = owner_ ? "" : lockError_;
    if (!owner_ || pairs_.count(number))
        return false;
    Pair pair;
    if (!OpenPair(number, &pair)) {
        lastError_ = pair.failure;
        return false;
    }
    std::string link = UserSideLinkName(static_cast<int>(number));
    if (!PlaceLink(link, pair.link))
        return LinkFailed(link);
    std::string target = pair.link;
    pairs_.emplace(number, std::move(pair));
    if (!SavePairs() || (!user.empty() && !ChangeLocked(number, user))) {
        pairs_.erase(number);
        DropLink(link, target);
        SavePairs();
        return false;
    }
    return true;
}

bool PairSetup::Change(std::string_view side, std::string_view params)
{
    ParamList given;
    if (!ParseParams(params, &given) || given.empty())
        return false;
    std::lock_guard<std::mutex> lk(mu_);
    lastError_ = owner_ ? "" : lockError_;
    RefreshIfFollower();
    int bridge = BridgeSidePair(side);
    if (bridge >= 0)
        // The bridge side's settings mean nothing for a terminal master.
        return pairs_.count(static_cast<uint32_t>(bridge)) && ValidBridgeSideParams(given);
    int user = UserSidePair(side);
    if (user < 0 || !ValidUserSideParams(given))
        return false;
    return ChangeLocked(static_cast<uint32_t>(user), given);
}

// "COM5" for a pair that carries a COM name, "pair 5" for one that does not.
std::string PairSetup::Label(uint32_t number) const
{
    auto it = pairs_.find(number);
    int com = it != pairs_.end() ? ComOf(it->second.params) : -1;
    return com > 0 ? ComName(com) : "pair " + std::to_string(number);
}

bool PairSetup::ChangeLocked(uint32_t number, const ParamList& given)
{
    auto it = pairs_.find(number);
    if (it == pairs_.end())
        return false;
    Pair& pair = it->second;
    ParamList items;
    ParseParams(pair.params, &items);
    for (const ParamItem& g : given)
        SetParam(&items, g.key, g.value);
    std::string merged = JoinParams(items);
    if (merged.size() > kParamTextMax)
        return false;
    if (!owner_)
        // A follower may confirm what stands, never change it.
        return merged == pair.params;

    int oldCom = ComOf(pair.params), newCom = ComOf(merged);
    if (newCom > 0 && newCom != oldCom)
        for (const auto& [other, p] : pairs_)
            if (other != number && ComOf(p.params) == newCom)
                return false;
    bool placed = false;
    if (newCom > 0 && LinkTarget(ComName(newCom)) != pair.link) {
        if (!pair.master.IsValid() || !PlaceLink(ComName(newCom), pair.link))
            return LinkFailed(ComName(newCom));
        placed = true;
    }
    if (merged != pair.params) {
        std::string old = std::move(pair.params);
        pair.params = merged;
        if (!SavePairs()) {
            pair.params = std::move(old);
            if (placed)
                DropLink(ComName(newCom), pair.link);
            return false;
        }
    }
    if (oldCom > 0 && oldCom != newCom)
        DropLink(ComName(oldCom), pair.link);
    // The pair is renamed whatever comdb.dat says; a claim that could not
    // be written is what the repair tool is for.
    UpdateClaims(newCom > 0 ? std::set<int>{newCom} : std::set<int>{}, oldCom != newCom ? oldCom : -1);
    return true;
}

bool PairSetup::Remove(uint32_t number)
{
    std::lock_guard<std::mutex> lk(mu_);
    lastError_ = owner_ ? "" : lockError_;
    if (!owner_)
        return false;
    auto node = pairs_.extract(number);
    if (node.empty())
        return false;
    // pairs.dat first: a pair still listed would come back at the next start.
    if (!SavePairs()) {
        pairs_.insert(std::move(node));
        return false;
    }
    Pair& pair = node.mapped();
    DropLink(UserSideLinkName(static_cast<int>(number)), pair.link);
    if (int com = ComOf(pair.params); com > 0) {
        DropLink(ComName(com), pair.link);
        UpdateClaims({}, com);
    }
    // A bridge may still hold its duplicate of the master; the terminal
    // ends when that is closed too.
    return true;
}

std::vector<PairEntry> PairSetup::List()
{
    std::vector<PairEntry> list;
    std::lock_guard<std::mutex> lk(mu_);
    RefreshIfFollower();
    for (const auto& [number, pair] : pairs_)
        list.push_back({number, pair.params});
    return list;
}

bool PairSetup::ComClaimed(int comNumber)
{
    std::string content;
    return ReadSmallFile(dirFd_.Get(), kComDbFileName, kFileLimit, &content) &&
           ParseComDb(content).count(comNumber) > 0;
}

bool PairSetup::SetComClaim(int comNumber, bool claim)
{
    if (comNumber < 1 || comNumber > kComNumberMax)
        return false;
    std::lock_guard<std::mutex> lk(mu_);
    lastError_.clear();
    return claim ? UpdateClaims({comNumber}, -1) : UpdateClaims({}, comNumber);
}

std::string PairSetup::LastError()
{
    std::lock_guard<std::mutex> lk(mu_);
    return lastError_;
}

std::string PairSetup::DeviceTarget(std::string_view name)
{
    std::string found;
    std::string s(name);
    if (ComNumber(s) > 0 || UserSidePair(s) >= 0) {
        std::lock_guard<std::mutex> lk(mu_);
        if (LiveLink(s))
            found = LinkTarget(s);
    } else if (int n = BridgeSidePair(s); n >= 0) {
        std::lock_guard<std::mutex> lk(mu_);
        RefreshIfFollower();
        auto it = pairs_.find(static_cast<uint32_t>(n));
        // A follower's pairs exist: the owner holds them.
        if (it != pairs_.end() && (!owner_ || it->second.master.IsValid()))
            found = kBridgeTarget;
    }
    return found;
}

std::vector<std::string> PairSetup::ComNamesInUse()
{
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<int> numbers;
    for (const std::string& name : DevNames())
        if (int n = ComNumber(name); n > 0 && LiveLink(name))
            numbers.push_back(n);
    std::sort(numbers.begin(), numbers.end());
    std::vector<std::string> names;
    for (int n : numbers)
        names.push_back(ComName(n));
    return names;
}

std::string PairSetup::DevicePath(std::string_view name) const
{
    std::string s(name);
    if (ComNumber(s) < 0 && UserSidePair(s) < 0)
        return std::string();
    return dir_ + "/" + kDevFolderName + "/" + s;
}

int PairSetup::OpenBridgeSide(const char* name)
{
    int n = BridgeSidePair(name ? name : "");
    std::unique_lock<std::mutex> lk(mu_);
    RefreshIfFollower();
    auto it = n >= 0 ? pairs_.find(static_cast<uint32_t>(n)) : pairs_.end();
    if (it != pairs_.end() && owner_ && !it->second.master.IsValid()) {
        RemakeUserSide(lk, it->first);
        it = pairs_.find(static_cast<uint32_t>(n));
    }
    if (it == pairs_.end() || (owner_ && !it->second.master.IsValid())) {
        errno = ENOENT;
        return -1;
    }
    Pair& pair = it->second;
    if (!owner_ || pair.bridgeFd >= 0) {
        errno = EBUSY;
        return -1;
    }
    int fd = fcntl(pair.master.Get(), F_DUPFD_CLOEXEC, 0);
    if (fd >= 0)
        pair.bridgeFd = fd;
    return fd;
}

void PairSetup::CloseBridgeSide(const char* name, int fd)
{
    if (fd < 0)
        return;
    int n = BridgeSidePair(name ? name : "");
    std::lock_guard<std::mutex> lk(mu_);
    auto it = n >= 0 ? pairs_.find(static_cast<uint32_t>(n)) : pairs_.end();
    // A pair removed and made anew meanwhile has another descriptor.
    if (it != pairs_.end() && it->second.bridgeFd == fd)
        it->second.bridgeFd = -1;
    close(fd);
}

std::string PairSetup::BridgeSideFailure(const char* name)
{
    int n = BridgeSidePair(name ? name : "");
    return n >= 0 ? DeviceFailure(static_cast<uint32_t>(n)) : std::string();
}

std::string PairSetup::UserSideText(const char* name)
{
    int n = BridgeSidePair(name ? name : "");
    std::lock_guard<std::mutex> lk(mu_);
    auto it = n >= 0 ? pairs_.find(static_cast<uint32_t>(n)) : pairs_.end();
    if (it == pairs_.end() || !it->second.cuse)
        return {};
    return it->second.cuse->Path() + " at " + FormatLineSettings(LineOfDevice(it->second.cuse->Settings(), {}));
}

void PairSetup::SetConnected(uint32_t number, bool connected)
{
    std::lock_guard<std::mutex> lk(mu_);
    auto it = pairs_.find(number);
    if (it != pairs_.end() && it->second.cuse)
        it->second.cuse->SetConnected(connected);
}

std::string PairSetup::DeviceFailure(uint32_t number)
{
    std::lock_guard<std::mutex> lk(mu_);
    auto it = pairs_.find(number);
    return it != pairs_.end() && !it->second.master.IsValid() ? it->second.failure : std::string();
}

CusePort* PairSetup::CuseOf(const char* bridgeName)
{
    int n = BridgeSidePair(bridgeName ? bridgeName : "");
    auto it = n >= 0 ? pairs_.find(static_cast<uint32_t>(n)) : pairs_.end();
    return it != pairs_.end() ? it->second.cuse.get() : nullptr;
}

bool PairSetup::UserSideLines(const char* name, UserSideLineState* lines)
{
    std::lock_guard<std::mutex> lk(mu_);
    CusePort* cuse = CuseOf(name);
    if (!cuse)
        return false;
    const CuseLines now = cuse->Lines();
    lines->held = now.heldOpen;
    lines->dtr = now.dtr;
    lines->eventFd = cuse->LineEventFd();
    return true;
}

void PairSetup::TakeUserSideLine(const char* name, LineListener& to, bool fresh)
{
    std::vector<CuseLineEvent> events;
    LineSettings now = to.Line();
    {
        std::lock_guard<std::mutex> lk(mu_);
        CusePort* cuse = CuseOf(name);
        if (!cuse)
            return;
        events = cuse->TakeLineEvents();
        if (cuse->ProgramSettings())
            now = LineOfDevice(cuse->Settings(), now);
        else if (fresh)
            OfferLine(*cuse, now);
        const CuseLines lines = cuse->Lines();
        now.dtr = lines.dtr;
        now.rts = lines.rts;
    }
    if (fresh) {
        to.SetLine(now);
        return;
    }
    for (CuseLineEvent e : events) {
        switch (e) {
        case CuseLineEvent::kSettings: to.SetLine(now); break;  // unchanged is no news
        case CuseLineEvent::kBreakOn: to.SetBreak(true); break;
        case CuseLineEvent::kBreakOff: to.SetBreak(false); break;
        case CuseLineEvent::kFlushInput: to.PurgeData(LineListener::kPurgeReceived); break;
        case CuseLineEvent::kFlushOutput: to.PurgeData(LineListener::kPurgeSent); break;
        case CuseLineEvent::kFlushBoth: to.PurgeData(LineListener::kPurgeBoth); break;
        }
    }
    to.SetLine(now);  // the settings stand even where the oldest events were dropped
}

void PairSetup::SetUserSideModem(const char* name, uint8_t lines)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (CusePort* cuse = CuseOf(name))
        cuse->SetModemInputs(lines);
}
