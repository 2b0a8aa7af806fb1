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

#include "ports/pair_files.h"
#include "ports/pty_pair.h"

namespace {

const char kPairsFile[] = "pairs.dat";
const char kComDbFile[] = "comdb.dat";
const char kLockFile[] = "pairs.lock";
const char kDevFolder[] = "dev";
const char kTempPrefix[] = ".tmp.";
const char kBridgeTarget[] = "/dev/ptmx";
constexpr size_t kFileLimit = 1 << 20;
// Far beyond any valid line of pairs.dat; longer lines are skipped unread.
constexpr size_t kPairLineMax = 4096;
constexpr size_t kSkippedShown = 5;

// The engine names a bridge side by its device path; accept either form.
std::string_view BridgeName(const char* name)
{
    std::string_view s = name ? name : "";
    if (s.substr(0, 4) == "\\\\.\\")
        s.remove_prefix(4);
    return s;
}

int ComOf(const std::string& params)
{
    ParamList items;
    if (!ParseParams(params, &items))
        return -1;
    const std::string* name = FindParam(items, "PortName");
    return name ? ComNumber(*name) : -1;
}

// "-", "" and nullptr stand for no parameters.
bool InstallParams(const char* text, ParamList* out)
{
    out->clear();
    if (!text || !*text || std::strcmp(text, "-") == 0)
        return true;
    return ParseParams(text, out);
}

}  // namespace

PairSetup::PairSetup(std::string dir, UniqueFd dirFd) : dir_(std::move(dir)), dirFd_(std::move(dirFd)) {}

std::unique_ptr<PairSetup> PairSetup::Open(const std::string& programDir)
{
    UniqueFd dirFd(open(programDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.IsValid())
        return nullptr;
    std::string dir = programDir;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::unique_ptr<PairSetup> ps(new PairSetup(dir, std::move(dirFd)));
    ps->Start();
    return ps;
}

void PairSetup::Start()
{
    std::lock_guard<std::mutex> lk(mu_);
    // The lock is held for the life of this object; a second copy of the
    // program fails to take it and stays a follower. A folder where the
    // lock file cannot be made is read-only to us anyway.
    lockFd_.Reset(openat(dirFd_.Get(), kLockFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    owner_ = lockFd_.IsValid() && flock(lockFd_.Get(), LOCK_EX | LOCK_NB) == 0;
    if (owner_)
        mkdirat(dirFd_.Get(), kDevFolder, 0755);
    // No following: dev/ as a link would let our unlinks reach another folder.
    devFd_.Reset(openat(dirFd_.Get(), kDevFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!owner_) {
        LoadPairsFile(&pairs_);
        return;
    }
    if (!devFd_.IsValid())
        LogNote("PairSetup: no folder %s/%s, pairs get no links\n", dir_.c_str(), kDevFolder);
    CleanDevFolder();
    LoadPairsFile(&pairs_);
    std::set<int> names;
    for (auto& [number, pair] : pairs_) {
        MakeTerminal(number, &pair);
        if (int com = ComOf(pair.params); com > 0)
            names.insert(com);
    }
    // A lost or older comdb.dat learns the names the pairs carry.
    UpdateClaims(names, -1);
}

PairSetup::~PairSetup()
{
    std::lock_guard<std::mutex> lk(mu_);
    if (!owner_)
        return;
    for (auto& [number, pair] : pairs_) {
        DropLink(UserSideLinkName(static_cast<int>(number)), pair.slave);
        if (int com = ComOf(pair.params); com > 0)
            DropLink(ComName(com), pair.slave);
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
        bool toTerminal = LinkTarget(name).compare(0, 9, "/dev/pts/") == 0;
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

void PairSetup::MakeTerminal(uint32_t number, Pair* pair)
{
    if (!OpenRawPty(&pair->master, &pair->slave)) {
        LogNote("PairSetup: pair %u: no pseudo-terminal: %s\n", number, strerror(errno));
        return;
    }
    if (!PlaceLink(UserSideLinkName(static_cast<int>(number)), pair->slave))
        LogNote("PairSetup: pair %u: no link %s: %s\n", number,
                UserSideLinkName(static_cast<int>(number)).c_str(), strerror(errno));
    if (int com = ComOf(pair->params); com > 0 && !PlaceLink(ComName(com), pair->slave))
        LogNote("PairSetup: pair %u: no link %s: %s\n", number, ComName(com).c_str(), strerror(errno));
}

void PairSetup::LoadPairsFile(std::map<uint32_t, Pair>* pairs)
{
    pairs->clear();
    std::string content;
    // Read whole, whatever its size: a valid line after a heap of junk is
    // still the user's pair, and would be lost at the next save otherwise.
    if (!ReadLineFile(dirFd_.Get(), kPairsFile, kPairLineMax, &content)) {
        if (owner_) {
            LogNote("PairSetup: cannot read %s: %s; pairs cannot be changed\n", kPairsFile,
                    strerror(errno));
            // Writing it now would replace the user's pairs with ours.
            pairsUnreadable_ = true;
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
        LogNote("PairSetup: %s: %zu line%s skipped (line %s%s)\n", kPairsFile, skipped.size(),
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
    if (pairsUnreadable_) {
        errno = EACCES;
        return false;
    }
    std::vector<PairLine> lines;
    for (const auto& [number, pair] : pairs_)
        lines.push_back({number, pair.params});
    return WriteFileAtomic(dirFd_.Get(), kPairsFile, FormatPairsFile(lines));
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

// Removes dev/<name> only while it still points at our terminal.
void PairSetup::DropLink(const std::string& name, const std::string& target)
{
    if (devFd_.IsValid() && !target.empty() && LinkTarget(name) == target)
        unlinkat(devFd_.Get(), name.c_str(), 0);
}

// Claims some COM numbers and releases one (-1 for none) in one write of
// comdb.dat. Only the owner writes the file.
bool PairSetup::UpdateClaims(const std::set<int>& claim, int release)
{
    std::string content;
    if (!owner_ || !ReadSmallFile(dirFd_.Get(), kComDbFile, kFileLimit, &content))
        return false;
    std::set<int> claimed = ParseComDb(content);
    std::set<int> before = claimed;
    if (release > 0)
        claimed.erase(release);
    claimed.insert(claim.begin(), claim.end());
    if (claimed == before)
        return true;
    if (!WriteFileAtomic(dirFd_.Get(), kComDbFile, FormatComDb(claimed))) {
        LogNote("PairSetup: cannot write %s: %s\n", kComDbFile, strerror(errno));
        return false;
    }
    return true;
}

bool PairSetup::Install(uint32_t number, const char* userParams, const char* bridgeParams)
{
    ParamList user, bridge;
    if (number >= kPortCount || !InstallParams(userParams, &user) || !ValidUserSideParams(user) ||
        !InstallParams(bridgeParams, &bridge) || !ValidBridgeSideParams(bridge))
        return false;
    std::lock_guard<std::mutex> lk(mu_);
    if (!owner_ || pairs_.count(number))
        return false;
    Pair pair;
    if (!OpenRawPty(&pair.master, &pair.slave))
        return false;
    std::string link = UserSideLinkName(static_cast<int>(number));
    if (!PlaceLink(link, pair.slave))
        return false;
    std::string slave = pair.slave;
    pairs_.emplace(number, std::move(pair));
    if (!SavePairs() || (!user.empty() && ChangeLocked(number, user) != 0)) {
        pairs_.erase(number);
        DropLink(link, slave);
        SavePairs();
        return false;
    }
    return true;
}

int PairSetup::Change(const char* side, const char* params)
{
    ParamList given;
    if (!side || !params || !ParseParams(params, &given) || given.empty())
        return 1;
    std::lock_guard<std::mutex> lk(mu_);
    RefreshIfFollower();
    int bridge = BridgeSidePair(side);
    if (bridge >= 0)
        // The bridge side's settings mean nothing for a terminal master.
        return pairs_.count(static_cast<uint32_t>(bridge)) && ValidBridgeSideParams(given) ? 0 : 1;
    int user = UserSidePair(side);
    if (user < 0 || !ValidUserSideParams(given))
        return 1;
    return ChangeLocked(static_cast<uint32_t>(user), given);
}

int PairSetup::ChangeLocked(uint32_t number, const ParamList& given)
{
    auto it = pairs_.find(number);
    if (it == pairs_.end())
        return 1;
    Pair& pair = it->second;
    ParamList items;
    ParseParams(pair.params, &items);
    for (const ParamItem& g : given)
        SetParam(&items, g.key, g.value);
    std::string merged = JoinParams(items);
    if (merged.size() > kParamTextMax)
        return 1;
    if (!owner_)
        // A follower may confirm what stands, never change it.
        return merged == pair.params ? 0 : 1;

    int oldCom = ComOf(pair.params), newCom = ComOf(merged);
    if (newCom > 0 && newCom != oldCom)
        for (const auto& [other, p] : pairs_)
            if (other != number && ComOf(p.params) == newCom)
                return 1;
    bool placed = false;
    if (newCom > 0 && LinkTarget(ComName(newCom)) != pair.slave) {
        if (!pair.master.IsValid() || !PlaceLink(ComName(newCom), pair.slave))
            return 1;
        placed = true;
    }
    if (merged != pair.params) {
        std::string old = std::move(pair.params);
        pair.params = merged;
        if (!SavePairs()) {
            pair.params = std::move(old);
            if (placed)
                DropLink(ComName(newCom), pair.slave);
            return 1;
        }
    }
    if (oldCom > 0 && oldCom != newCom)
        DropLink(ComName(oldCom), pair.slave);
    // The pair is renamed whatever comdb.dat says; a claim that could not
    // be written is what the repair tool is for.
    UpdateClaims(newCom > 0 ? std::set<int>{newCom} : std::set<int>{}, oldCom != newCom ? oldCom : -1);
    return 0;
}

bool PairSetup::Remove(uint32_t number)
{
    std::lock_guard<std::mutex> lk(mu_);
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
    DropLink(UserSideLinkName(static_cast<int>(number)), pair.slave);
    if (int com = ComOf(pair.params); com > 0) {
        DropLink(ComName(com), pair.slave);
        UpdateClaims({}, com);
    }
    // A bridge may still hold its duplicate of the master; the terminal
    // ends when that is closed too.
    return true;
}

void PairSetup::List(ListREdiCallback callback, void* context)
{
    if (!callback)
        return;
    std::vector<std::pair<uint32_t, std::string>> copy;
    {
        std::lock_guard<std::mutex> lk(mu_);
        RefreshIfFollower();
        for (const auto& [number, pair] : pairs_)
            copy.emplace_back(number, pair.params);
    }
    // Outside the lock: the callback may call back into the layer.
    for (auto& [number, params] : copy)
        callback(number, params.data(), context);
}

bool PairSetup::ComDbInUse(const char* comName, int* inUse)
{
    int n = comName ? ComNumber(comName) : -1;
    std::string content;
    if (n < 0 || !inUse || !ReadSmallFile(dirFd_.Get(), kComDbFile, kFileLimit, &content))
        return false;
    *inUse = ParseComDb(content).count(n) ? 1 : 0;
    return true;
}

bool PairSetup::ClaimRelease(uint32_t comNumber, bool claim)
{
    if (comNumber < 1 || comNumber > kComNumberMax)
        return false;
    std::lock_guard<std::mutex> lk(mu_);
    int n = static_cast<int>(comNumber);
    return claim ? UpdateClaims({n}, -1) : UpdateClaims({}, n);
}

size_t PairSetup::QueryDevice(const char* name, char* target, size_t size)
{
    std::string found;
    std::string s = name ? name : "";
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
    if (found.empty()) {
        errno = ENOENT;
        return 0;
    }
    if (!target || found.size() + 1 > size) {
        errno = ERANGE;
        return 0;
    }
    memcpy(target, found.c_str(), found.size() + 1);
    return found.size() + 1;
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

std::string PairSetup::DevicePath(const char* name) const
{
    std::string s = name ? name : "";
    if (ComNumber(s) < 0 && UserSidePair(s) < 0)
        return std::string();
    return dir_ + "/" + kDevFolder + "/" + s;
}

int PairSetup::OpenBridgeSide(const char* name)
{
    int n = BridgeSidePair(BridgeName(name));
    std::lock_guard<std::mutex> lk(mu_);
    RefreshIfFollower();
    auto it = n >= 0 ? pairs_.find(static_cast<uint32_t>(n)) : pairs_.end();
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
    int n = BridgeSidePair(BridgeName(name));
    std::lock_guard<std::mutex> lk(mu_);
    auto it = n >= 0 ? pairs_.find(static_cast<uint32_t>(n)) : pairs_.end();
    // A pair removed and made anew meanwhile has another descriptor.
    if (it != pairs_.end() && it->second.bridgeFd == fd)
        it->second.bridgeFd = -1;
    close(fd);
}

namespace {
std::unique_ptr<PairSetup> g_current;
}

bool OpenPairSetup(const std::string& programDir)
{
    ClosePairSetup();
    g_current = PairSetup::Open(programDir);
    if (!g_current)
        return false;
    SetBridgeSideProvider(g_current.get());
    return true;
}

void ClosePairSetup()
{
    if (g_current && GetBridgeSideProvider() == g_current.get())
        SetBridgeSideProvider(nullptr);
    g_current.reset();
}

PairSetup* CurrentPairSetup() { return g_current.get(); }

int InstallREdi(const char* userParams, const char* bridgeParams, uint32_t pair)
{
    return g_current && g_current->Install(pair, userParams, bridgeParams) ? 1 : 0;
}

int ChangeREdi(const char* side, const char* params)
{
    return g_current ? g_current->Change(side, params) : 1;
}

int RemoveREdi(uint32_t pair) { return g_current && g_current->Remove(pair) ? 1 : 0; }

int ListREdi(const void*, const void*, ListREdiCallback callback, void* context)
{
    if (!g_current)
        return 0;
    g_current->List(callback, context);
    return 1;
}

int ComDbGetInUse(const char* comName, int* inUse)
{
    return g_current && g_current->ComDbInUse(comName, inUse) ? 1 : 0;
}

int ClaimReleasePort(uint32_t comNumber, int claim)
{
    return g_current && g_current->ClaimRelease(comNumber, claim != 0) ? 1 : 0;
}

uint32_t QueryDosDevice(const char* name, char* target, uint32_t size)
{
    if (!g_current) {
        errno = ENOENT;
        return 0;
    }
    return static_cast<uint32_t>(g_current->QueryDevice(name, target, size));
}

int LookUpDevice(const char* name, size_t size, std::string* target)
{
    std::vector<char> buf(size > 0 ? size : 1);
    errno = 0;
    if (QueryDosDevice(name, buf.data(), static_cast<uint32_t>(buf.size())) > 0) {
        *target = buf.data();
        return 1;
    }
    return errno == ERANGE ? 2 : 0;
}

bool DeviceNameExists(const char* name, uint32_t size)
{
    std::string target;
    return LookUpDevice(name, size, &target) != 0;
}

std::vector<std::string> SerialCommNames()
{
    return g_current ? g_current->ComNamesInUse() : std::vector<std::string>();
}

std::string PairDevicePath(const char* name) { return g_current ? g_current->DevicePath(name) : std::string(); }
