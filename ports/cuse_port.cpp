// The CUSE device: requests from /dev/cuse, the two byte queues between the
// programs and the socket pair, and the line state a serial driver keeps.
#define FUSE_USE_VERSION 31
#include "ports/cuse_port.h"

#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse3/cuse_lowlevel.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/modem_lines.h"
#include "engine/unique_fd.h"

static_assert(sizeof(CuseLineSettings) == sizeof(struct termios2), "termios2 layout");

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kQueueBytes = 64 * 1024;  // each way, as a serial driver's buffers
constexpr size_t kMaxPollHandles = 64;     // past this, wake them all and start afresh
constexpr auto kDrainLook = std::chrono::milliseconds(2);

// Bytes in arrival order; taken from the front.
class Fifo {
public:
    size_t Size() const { return data_.size() - head_; }
    size_t Room() const { return kQueueBytes > Size() ? kQueueBytes - Size() : 0; }
    const uint8_t* Front() const { return data_.data() + head_; }
    void Append(const void* p, size_t n)
    {
        auto* b = static_cast<const uint8_t*>(p);
        data_.insert(data_.end(), b, b + n);
    }
    void Drop(size_t n)
    {
        head_ += std::min(n, Size());
        if (head_ == data_.size() || head_ > kQueueBytes) {
            data_.erase(data_.begin(), data_.begin() + head_);
            head_ = 0;
        }
    }
    void Clear() { Drop(Size()); }

private:
    std::vector<uint8_t> data_;
    size_t head_ = 0;
};

struct Rate {
    unsigned code;
    uint32_t baud;
};
constexpr Rate kRates[] = {
    {B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
    {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
    {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
    {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

uint32_t BaudOf(unsigned code)
{
    for (const Rate& r : kRates)
        if (r.code == code)
            return r.baud;
    return 0;
}

// A speed the table names gets its code, any other BOTHER: as the kernel
// reports a speed given in baud.
unsigned CodeOf(uint32_t baud)
{
    for (const Rate& r : kRates)
        if (r.baud == baud)
            return r.code;
    return BOTHER;
}

// A serial port as Linux makes one, in raw mode: 9600 8N1, no echo, no
// line editing, reads that return with the first byte; HUPCL so that the
// last close drops DTR and RTS.
termios2 DefaultSettings()
{
    termios2 t{};
    t.c_cflag = B9600 | CS8 | CREAD | HUPCL | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_ispeed = t.c_ospeed = 9600;
    return t;
}

}  // namespace

class CusePort::Impl {
public:
    explicit Impl(const CuseNode& node) : node_(node), path_("/dev/" + node.name) {}
    ~Impl();
    bool Start(std::string* error);

    const std::string& Path() const { return path_; }
    int BridgeFd() const { return bridge_.Get(); }
    int LineEventFd() const { return lineEvent_.Get(); }
    void SetConnected(bool connected);
    void SetModemInputs(uint8_t lines);
    CuseLines Lines() const;
    CuseLineSettings Settings() const;
    bool ProgramSettings() const;
    void OfferLine(uint32_t iflag, uint32_t cflag, uint32_t baud);
    std::vector<CuseLineEvent> TakeLineEvents();
    bool Ended() const;

    // The requests, from libfuse on the serving thread.
    void Open(fuse_req_t req, fuse_file_info* fi);
    void Release(fuse_req_t req);
    void Read(fuse_req_t req, size_t size, const fuse_file_info* fi);
    void Write(fuse_req_t req, const char* buf, size_t size, const fuse_file_info* fi);
    void Ioctl(fuse_req_t req, unsigned cmd, void* arg, const void* in, size_t inSize, size_t outSize);
    void Poll(fuse_req_t req, fuse_pollhandle* ph);
    void Interrupted(fuse_req_t req) { interrupted_.push_back(req); }
    void InitDone();

private:
    struct PendingRead {
        fuse_req_t req;
        size_t size;
        Clock::time_point start;
    };
    struct PendingWrite {
        fuse_req_t req;
        std::vector<uint8_t> data;
        size_t taken = 0;
    };
    // A call that waits until the bridge has taken every byte written:
    // tcdrain, break, TCSETSW and TCSETSF.
    struct PendingDrain {
        fuse_req_t req;
        bool apply = false;
        bool flushInput = false;
        termios2 settings{};
        unsigned breakMs = 0;  // a timed break follows the drain
    };
    struct PendingBreak {
        fuse_req_t req;
        Clock::time_point until;
    };
    struct PendingWait {
        fuse_req_t req;
        unsigned mask;
    };

    bool OpenChannel(std::string* error);
    bool AwaitInit(std::string* error);
    bool FinishNode(std::string* error);
    std::string Refused() const;
    void Serve();
    void ReceiveRequests(fuse_buf* buf);
    void ServeBridge(short revents);
    void SendToBridge();
    int NextTimeoutMs() const;
    void Settle();
    void ServeReads();
    bool ReadSatisfied(const PendingRead& r, Clock::time_point now) const;
    void ServeWrites();
    void ServeDrains();
    void ServeBreaks(bool all);
    void ServeInterrupts();
    void NotifyPolls(bool force);
    void EndAll();
    void Watch(fuse_req_t req);
    bool Drained() const;
    size_t UnreadByBridge() const;
    void DiscardBridgeInput();
    void LinesChanged() { Event(CuseLineEvent::kSettings); }
    void Event(CuseLineEvent e);
    void ApplyConnected();
    void SetSettings(const termios2& t, bool byProgram = true);
    void ApplyOffer();
    void Flush(unsigned long which);
    bool TermiosIoctl(fuse_req_t req, unsigned cmd, void* arg, const void* in, size_t inSize, size_t outSize);
    void SetIoctl(fuse_req_t req, unsigned cmd, const void* in, size_t size);
    bool ModemIoctl(fuse_req_t req, unsigned cmd, void* arg, const void* in, size_t inSize, size_t outSize);
    bool QueueIoctl(fuse_req_t req, unsigned cmd, void* arg, size_t outSize);
    void ReplyInt(fuse_req_t req, int value, void* arg, size_t outSize);

    const CuseNode node_;
    const std::string path_;
    UniqueFd bridge_;     // the bridge's end of the socket pair
    UniqueFd device_;     // the device's end, this thread's
    UniqueFd wake_;       // eventfd: stop, or the connected flag changed
    std::atomic<bool> stop_{false};
    UniqueFd lineEvent_;  // eventfd: DTR, RTS, held-open or a line event
    fuse_session* session_ = nullptr;
    std::thread thread_;
    std::promise<bool> initPromise_;
    bool initReported_ = false;

    mutable std::mutex mutex_;  // guards what the owner reads or sets
    termios2 settings_ = DefaultSettings();
    bool dtr_ = false;
    bool rts_ = false;
    int opens_ = 0;
    bool connected_ = false;
    int farLines_ = -1;  // the far end's word on the modem lines, -1 none
    bool programSettings_ = false;
    struct Offer {
        uint32_t iflag = 0, cflag = 0, baud = 0;
    } offer_;             // the port's line, for the device's thread to apply
    bool offered_ = false;
    std::deque<CuseLineEvent> events_;
    bool ended_ = false;

    // The serving thread's own.
    int inputs_ = 0;  // TIOCM_CTS, DSR, CD and RI as last applied
    bool exclusive_ = false;
    bool outputStopped_ = false;
    Fifo in_, out_;
    Clock::time_point lastRx_;
    serial_icounter_struct icount_{};
    std::deque<PendingRead> reads_;
    std::deque<PendingWrite> writes_;
    std::vector<PendingDrain> drains_;
    std::vector<PendingBreak> breaks_;
    std::vector<PendingWait> waits_;
    std::vector<fuse_req_t> interrupted_;
    std::vector<fuse_pollhandle*> polls_;
    bool wasReadable_ = false;
    bool wasWritable_ = false;
};

namespace {

CusePort::Impl* ImplOf(fuse_req_t req) { return static_cast<CusePort::Impl*>(fuse_req_userdata(req)); }

void OnInitDone(void* userdata) { static_cast<CusePort::Impl*>(userdata)->InitDone(); }
void OnOpen(fuse_req_t req, fuse_file_info* fi) { ImplOf(req)->Open(req, fi); }
void OnRelease(fuse_req_t req, fuse_file_info*) { ImplOf(req)->Release(req); }
void OnFlush(fuse_req_t req, fuse_file_info*) { fuse_reply_err(req, 0); }
void OnRead(fuse_req_t req, size_t size, off_t, fuse_file_info* fi) { ImplOf(req)->Read(req, size, fi); }
void OnWrite(fuse_req_t req, const char* buf, size_t size, off_t, fuse_file_info* fi)
{
    ImplOf(req)->Write(req, buf, size, fi);
}
void OnIoctl(fuse_req_t req, int cmd, void* arg, fuse_file_info*, unsigned, const void* in, size_t inSize,
             size_t outSize)
{
    ImplOf(req)->Ioctl(req, static_cast<unsigned>(cmd), arg, in, inSize, outSize);
}
void OnPoll(fuse_req_t req, fuse_file_info*, fuse_pollhandle* ph) { ImplOf(req)->Poll(req, ph); }
void OnInterrupt(fuse_req_t req, void* data) { static_cast<CusePort::Impl*>(data)->Interrupted(req); }

const cuse_lowlevel_ops kOps = [] {
    cuse_lowlevel_ops ops{};
    ops.init_done = OnInitDone;
    ops.open = OnOpen;
    ops.read = OnRead;
    ops.write = OnWrite;
    ops.flush = OnFlush;
    ops.release = OnRelease;
    ops.ioctl = OnIoctl;
    ops.poll = OnPoll;
    return ops;
}();

// Bytes in a socket's receive queue.
size_t Unread(int fd)
{
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

bool ValidName(const std::string& name)
{
    if (name.empty() || name.size() > 31)
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; });
}

}  // namespace

CuseNode CuseNodeForPair(int pair)
{
    CuseNode node;
    node.name = "ttyS" + std::to_string(100 + pair);
    node.minor = 164 + static_cast<unsigned>(pair);
    return node;
}

// ---- making and ending the device

bool CusePort::Impl::Start(std::string* error)
{
    if (!ValidName(node_.name)) {
        *error = "bad device name \"" + node_.name + "\"";
        return false;
    }
    struct stat st;
    if (lstat(path_.c_str(), &st) == 0) {
        *error = path_ + " already exists (another program's device?)";
        return false;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        *error = std::string("socketpair: ") + strerror(errno);
        return false;
    }
    bridge_.Reset(pair[0]);
    device_.Reset(pair[1]);
    fcntl(device_.Get(), F_SETFL, O_NONBLOCK);
    wake_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    lineEvent_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_.IsValid() || !lineEvent_.IsValid()) {
        *error = std::string("eventfd: ") + strerror(errno);
        return false;
    }
    if (!OpenChannel(error))
        return false;
    thread_ = std::thread([this] { Serve(); });
    return AwaitInit(error) && FinishNode(error);
}

bool CusePort::Impl::OpenChannel(std::string* error)
{
    UniqueFd fd(open("/dev/cuse", O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!fd.IsValid()) {
        int e = errno;
        *error = std::string("cannot open /dev/cuse: ") + strerror(e) +
                 (e == ENOENT || e == ENODEV ? " (load the cuse module)" : e == EACCES ? " (needs root)" : "");
        return false;
    }
    std::string devname = "DEVNAME=" + node_.name;
    const char* info[] = {devname.c_str()};
    cuse_info ci{};
    ci.dev_major = node_.major;
    ci.dev_minor = node_.minor;
    ci.dev_info_argc = 1;
    ci.dev_info_argv = info;
    ci.flags = CUSE_UNRESTRICTED_IOCTL;
    char arg0[] = "velkaro_redi";
    char* argv[] = {arg0, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    session_ = cuse_lowlevel_new(&args, &ci, &kOps, this);
    fuse_opt_free_args(&args);  // the parse made its own copy of them
    std::string mount = "/dev/fd/" + std::to_string(fd.Get());
    if (!session_ || fuse_session_mount(session_, mount.c_str()) != 0) {
        *error = "libfuse refused to set up the device";
        return false;
    }
    fd.Release();  // the session closes it
    return true;
}

bool CusePort::Impl::AwaitInit(std::string* error)
{
    auto result = initPromise_.get_future();
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready || !result.get()) {
        *error = Refused();
        return false;
    }
    return true;
}

std::string CusePort::Impl::Refused() const
{
    return "the kernel refused device " + node_.name + " (" + std::to_string(node_.major) + ":" +
           std::to_string(node_.minor) + "): its name or number is taken";
}

// The kernel puts the node in /dev (devtmpfs) as root 0600 before it
// answers; a serial port is root:dialout 0660.
bool CusePort::Impl::FinishNode(std::string* error)
{
    struct stat st {};
    // A refused device is ended by the kernel just after its answer.
    for (int i = 0; i < 200 && stat(path_.c_str(), &st) != 0 && !Ended(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (Ended()) {
        *error = Refused();
        return false;
    }
    if (!S_ISCHR(st.st_mode) || st.st_rdev != makedev(node_.major, node_.minor)) {
        *error = path_ + " did not appear as the device (is /dev a devtmpfs?)";
        return false;
    }
    group* g = getgrnam(node_.group.c_str());
    if (!g) {
        *error = "no group " + node_.group;
        return false;
    }
    if (chown(path_.c_str(), 0, g->gr_gid) != 0 || chmod(path_.c_str(), 0660) != 0) {
        *error = "cannot give " + path_ + " to group " + node_.group + ": " + strerror(errno);
        return false;
    }
    return true;
}

void CusePort::Impl::InitDone()
{
    initReported_ = true;
    initPromise_.set_value(true);
}

CusePort::Impl::~Impl()
{
    if (thread_.joinable()) {
        stop_ = true;
        uint64_t one = 1;
        (void)!write(wake_.Get(), &one, sizeof one);
        thread_.join();
    }
    // Closing the channel ends the device: the kernel removes it and fails
    // what programs still ask of it.
    if (session_)
        fuse_session_destroy(session_);
}

// ---- the serving thread

void CusePort::Impl::Serve()
{
    fuse_buf buf{};
    enum { kCuse, kWake, kBridge };
    while (!fuse_session_exited(session_)) {
        pollfd fds[3] = {{fuse_session_fd(session_), POLLIN, 0}, {wake_.Get(), POLLIN, 0}, {device_.Get(), 0, 0}};
        // Refilled from half empty: a bridge's every write need not wake us.
        if (in_.Size() < kQueueBytes / 2 || opens_ == 0)
            fds[kBridge].events |= POLLIN;
        if (out_.Size() > 0 && !outputStopped_)
            fds[kBridge].events |= POLLOUT;
        if (poll(fds, 3, NextTimeoutMs()) < 0 && errno != EINTR)
            break;
        if (stop_)
            break;
        if (fds[kWake].revents) {
            uint64_t n;
            (void)!read(wake_.Get(), &n, sizeof n);
            ApplyConnected();
            ApplyOffer();
        }
        if (fds[kBridge].revents)
            ServeBridge(fds[kBridge].revents);
        if (fds[kCuse].revents)
            ReceiveRequests(&buf);
        Settle();
    }
    EndAll();
    free(buf.mem);
    std::lock_guard lock(mutex_);
    ended_ = true;
    if (!initReported_) {
        initReported_ = true;
        initPromise_.set_value(false);
    }
}

void CusePort::Impl::ReceiveRequests(fuse_buf* buf)
{
    for (int i = 0; i < 64 && !fuse_session_exited(session_); ++i) {
        int n = fuse_session_receive_buf(session_, buf);
        if (n <= 0)
            return;  // -EAGAIN: no more now; 0: an interrupted request, or the end
        ApplyConnected();  // every request sees the bridge's latest word
        fuse_session_process_buf(session_, buf);
    }
}

// Bytes between the queues and the socket pair. While no program holds the
// device, what the bridge sends is thrown away.
void CusePort::Impl::ServeBridge(short revents)
{
    uint8_t chunk[16384];
    for (bool more = revents & (POLLIN | POLLHUP | POLLERR); more;) {
        size_t room = opens_ == 0 ? sizeof chunk : std::min(sizeof chunk, in_.Room());
        ssize_t n = room > 0 ? read(device_.Get(), chunk, room) : 0;
        more = n == static_cast<ssize_t>(room) && room > 0;
        if (n > 0 && opens_ > 0) {
            in_.Append(chunk, static_cast<size_t>(n));
            icount_.rx += static_cast<int>(n);
            lastRx_ = Clock::now();
        }
    }
    if (revents & POLLOUT)
        SendToBridge();
}

void CusePort::Impl::SendToBridge()
{
    if (out_.Size() == 0 || outputStopped_)
        return;
    ssize_t n = send(device_.Get(), out_.Front(), out_.Size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        out_.Drop(static_cast<size_t>(n));
        icount_.tx += static_cast<int>(n);
    }
}

int CusePort::Impl::NextTimeoutMs() const
{
    Clock::time_point next = Clock::time_point::max();
    if (!drains_.empty() && out_.Size() == 0 && writes_.empty())
        next = Clock::now() + kDrainLook;  // nothing tells when the bridge has read
    if (!reads_.empty()) {
        const PendingRead& r = reads_.front();
        unsigned vtime = settings_.c_cc[VTIME];
        if (vtime > 0) {
            Clock::time_point from = settings_.c_cc[VMIN] == 0 || in_.Size() == 0 ? r.start : lastRx_;
            next = std::min(next, from + std::chrono::milliseconds(100 * vtime));
        }
    }
    for (const PendingBreak& b : breaks_)
        next = std::min(next, b.until);
    if (next == Clock::time_point::max())
        return -1;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<int64_t>(ms, 0));
}

// After every wake: answer what can be answered now.
void CusePort::Impl::Settle()
{
    ServeInterrupts();
    SendToBridge();  // at once: no round through poll() for the bytes just written
    ServeWrites();
    ServeReads();
    ServeDrains();
    ServeBreaks(false);
    NotifyPolls(false);
}

namespace {

// A pending call of `pending` that was interrupted ends with EINTR.
template <typename Pending>
void EndInterrupted(Pending& pending, fuse_req_t req)
{
    auto it = std::find_if(pending.begin(), pending.end(), [&](auto& p) { return p.req == req; });
    if (it != pending.end()) {
        fuse_reply_err(req, EINTR);
        pending.erase(it);
    }
}

}  // namespace

void CusePort::Impl::ServeInterrupts()
{
    for (fuse_req_t req : interrupted_) {
        EndInterrupted(reads_, req);
        auto write = std::find_if(writes_.begin(), writes_.end(), [&](auto& w) { return w.req == req; });
        if (write != writes_.end()) {
            if (write->taken > 0)
                fuse_reply_write(req, write->taken);
            else
                fuse_reply_err(req, EINTR);
            writes_.erase(write);
        }
        EndInterrupted(drains_, req);
        EndInterrupted(waits_, req);
        auto brk = std::find_if(breaks_.begin(), breaks_.end(), [&](auto& b) { return b.req == req; });
        if (brk != breaks_.end()) {
            brk->until = Clock::time_point::min();  // ends now, with the break
            brk->req = nullptr;
            fuse_reply_err(req, EINTR);
        }
    }
    interrupted_.clear();
}

// Pending calls end with EIO when the device goes away under them.
void CusePort::Impl::EndAll()
{
    for (auto& r : reads_)
        fuse_reply_err(r.req, EIO);
    for (auto& w : writes_)
        fuse_reply_err(w.req, EIO);
    for (auto& d : drains_)
        fuse_reply_err(d.req, EIO);
    for (auto& w : waits_)
        fuse_reply_err(w.req, EIO);
    ServeBreaks(true);
    reads_.clear();
    writes_.clear();
    drains_.clear();
    waits_.clear();
    NotifyPolls(true);
}

void CusePort::Impl::Watch(fuse_req_t req) { fuse_req_interrupt_func(req, OnInterrupt, this); }

// ---- open, close, read, write, poll

// As a serial driver: the first open raises DTR and RTS, and a port held
// exclusively (TIOCEXCL) refuses further opens. Nothing from before the
// open is read.
void CusePort::Impl::Open(fuse_req_t req, fuse_file_info* fi)
{
    if (exclusive_) {
        fuse_reply_err(req, EBUSY);
        return;
    }
    if (opens_ == 0) {
        in_.Clear();
        DiscardBridgeInput();
    }
    {
        std::lock_guard lock(mutex_);
        if (opens_++ == 0)
            dtr_ = rts_ = true;
    }
    LinesChanged();
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

// The last close drops DTR and RTS when HUPCL is set, and what nobody read.
void CusePort::Impl::Release(fuse_req_t req)
{
    {
        std::lock_guard lock(mutex_);
        if (--opens_ == 0 && (settings_.c_cflag & HUPCL))
            dtr_ = rts_ = false;
    }
    if (opens_ == 0) {
        exclusive_ = false;
        in_.Clear();
    }
    LinesChanged();
    fuse_reply_err(req, 0);
}

// A non-blocking read takes what is there; a blocking one waits in turn.
void CusePort::Impl::Read(fuse_req_t req, size_t size, const fuse_file_info* fi)
{
    if (fi->flags & O_NONBLOCK) {
        size_t n = std::min(size, in_.Size());
        if (n == 0) {
            fuse_reply_err(req, EAGAIN);
            return;
        }
        fuse_reply_buf(req, reinterpret_cast<const char*>(in_.Front()), n);
        in_.Drop(n);
        return;
    }
    reads_.push_back({req, size, Clock::now()});
    Watch(req);
}

// Non-canonical reads as a tty does them: VMIN bytes (at most what was
// asked), or with VTIME the time since the read began (VMIN 0) or since the
// last byte (VMIN > 0).
bool CusePort::Impl::ReadSatisfied(const PendingRead& r, Clock::time_point now) const
{
    size_t vmin = settings_.c_cc[VMIN];
    auto vtime = std::chrono::milliseconds(100 * settings_.c_cc[VTIME]);
    if (vmin == 0)
        return in_.Size() > 0 || vtime.count() == 0 || now - r.start >= vtime;
    if (in_.Size() >= std::min(vmin, r.size))
        return true;
    return in_.Size() > 0 && vtime.count() > 0 && now - lastRx_ >= vtime;
}

void CusePort::Impl::ServeReads()
{
    Clock::time_point now = Clock::now();
    while (!reads_.empty() && ReadSatisfied(reads_.front(), now)) {
        size_t n = std::min(reads_.front().size, in_.Size());
        fuse_reply_buf(reads_.front().req, reinterpret_cast<const char*>(in_.Front()), n);
        in_.Drop(n);
        reads_.pop_front();
    }
}

// A blocking write returns when the whole of it is queued; a non-blocking
// one takes what fits.
void CusePort::Impl::Write(fuse_req_t req, const char* buf, size_t size, const fuse_file_info* fi)
{
    size_t n = writes_.empty() ? std::min(size, out_.Room()) : 0;
    out_.Append(buf, n);
    if (n == size || ((fi->flags & O_NONBLOCK) && n > 0)) {
        fuse_reply_write(req, n);
        return;
    }
    if (fi->flags & O_NONBLOCK) {
        fuse_reply_err(req, EAGAIN);
        return;
    }
    writes_.push_back({req, std::vector<uint8_t>(buf, buf + size), n});
    Watch(req);
}

void CusePort::Impl::ServeWrites()
{
    while (!writes_.empty() && out_.Room() > 0) {
        PendingWrite& w = writes_.front();
        size_t n = std::min(w.data.size() - w.taken, out_.Room());
        out_.Append(w.data.data() + w.taken, n);
        w.taken += n;
        if (w.taken < w.data.size())
            return;
        fuse_reply_write(w.req, w.taken);
        writes_.pop_front();
    }
}

// The kernel asks again after each notification; a handle serves once.
void CusePort::Impl::Poll(fuse_req_t req, fuse_pollhandle* ph)
{
    if (ph) {
        polls_.push_back(ph);
        if (polls_.size() > kMaxPollHandles)
            NotifyPolls(true);
    }
    unsigned events = 0;
    if (in_.Size() > 0)
        events |= POLLIN | POLLRDNORM;
    if (out_.Room() > 0 && writes_.empty())
        events |= POLLOUT | POLLWRNORM;
    fuse_reply_poll(req, events);
}

void CusePort::Impl::NotifyPolls(bool force)
{
    bool readable = in_.Size() > 0;
    bool writable = out_.Room() > 0 && writes_.empty();
    if (force || (readable && !wasReadable_) || (writable && !wasWritable_)) {
        for (fuse_pollhandle* ph : polls_) {
            fuse_lowlevel_notify_poll(ph);
            fuse_pollhandle_destroy(ph);
        }
        polls_.clear();
    }
    wasReadable_ = readable;
    wasWritable_ = writable;
}

// ---- line state

bool CusePort::Impl::Drained() const { return out_.Size() == 0 && writes_.empty() && UnreadByBridge() == 0; }

size_t CusePort::Impl::UnreadByBridge() const
{
    return Unread(bridge_.Get());
}

void CusePort::Impl::DiscardBridgeInput()
{
    uint8_t chunk[16384];
    while (recv(device_.Get(), chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
    }
}

void CusePort::Impl::ServeDrains()
{
    if (drains_.empty() || !Drained())
        return;
    for (PendingDrain& d : drains_) {
        if (d.apply)
            SetSettings(d.settings);
        if (d.flushInput)
            Flush(TCIFLUSH);
        if (d.breakMs > 0) {
            Event(CuseLineEvent::kBreakOn);
            breaks_.push_back({d.req, Clock::now() + std::chrono::milliseconds(d.breakMs)});
        } else {
            fuse_reply_ioctl(d.req, 0, nullptr, 0);
        }
    }
    drains_.clear();
}

// A timed break ends when due (all: now, with the device), and its call
// returns; one interrupted has had its answer.
void CusePort::Impl::ServeBreaks(bool all)
{
    const Clock::time_point now = Clock::now();
    auto done = std::remove_if(breaks_.begin(), breaks_.end(), [&](const PendingBreak& b) {
        if (!all && b.until > now)
            return false;
        Event(CuseLineEvent::kBreakOff);
        if (b.req)
            all ? fuse_reply_err(b.req, EIO) : fuse_reply_ioctl(b.req, 0, nullptr, 0);
        return true;
    });
    breaks_.erase(done, breaks_.end());
}

void CusePort::Impl::Event(CuseLineEvent e)
{
    {
        std::lock_guard lock(mutex_);
        if (events_.size() >= kMaxLineEvents)
            events_.pop_front();  // the newest tell the state the line ends in
        events_.push_back(e);
    }
    uint64_t one = 1;
    (void)!write(lineEvent_.Get(), &one, sizeof one);
}

// The inputs while connected: the far end's word, all on until it says.
// TIOCMIWAIT callers watching a line that changed wake; each change counts.
void CusePort::Impl::ApplyConnected()
{
    int want = 0;
    {
        std::lock_guard lock(mutex_);
        if (connected_ && farLines_ < 0)
            want = TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
        else if (connected_)
            want = (farLines_ & kModemCts ? TIOCM_CTS : 0) | (farLines_ & kModemDsr ? TIOCM_DSR : 0) |
                   (farLines_ & kModemDcd ? TIOCM_CD : 0) | (farLines_ & kModemRi ? TIOCM_RNG : 0);
    }
    const int changed = want ^ inputs_;
    if (changed == 0)
        return;
    inputs_ = want;
    icount_.cts += (changed & TIOCM_CTS) != 0;
    icount_.dsr += (changed & TIOCM_DSR) != 0;
    icount_.dcd += (changed & TIOCM_CD) != 0;
    icount_.rng += (changed & TIOCM_RNG) != 0;
    auto woken = std::remove_if(waits_.begin(), waits_.end(), [&](const PendingWait& w) {
        if (!(w.mask & changed))
            return false;
        fuse_reply_ioctl(w.req, 0, nullptr, 0);
        return true;
    });
    waits_.erase(woken, waits_.end());
}

// Every flag and character as given. The speeds follow the baud code in
// c_cflag; with BOTHER they are the ones given, and a speed the table names
// gets its code back, as the kernel does.
void CusePort::Impl::SetSettings(const termios2& given, bool byProgram)
{
    termios2 t = given;
    unsigned ocode = t.c_cflag & CBAUD;
    if (ocode == BOTHER)
        ocode = CodeOf(t.c_ospeed);
    else
        t.c_ospeed = BaudOf(ocode);
    unsigned icode = (t.c_cflag >> IBSHIFT) & CBAUD;
    if (icode == BOTHER)
        icode = CodeOf(t.c_ispeed);
    else
        t.c_ispeed = icode == B0 ? t.c_ospeed : BaudOf(icode);
    t.c_cflag = (t.c_cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | ocode | (icode << IBSHIFT);
    {
        std::lock_guard lock(mutex_);
        if (!byProgram && programSettings_)
            return;  // the program's own stand
        settings_ = t;
        programSettings_ = programSettings_ || byProgram;
    }
    if (byProgram)
        LinesChanged();
}

void CusePort::Impl::OfferLine(uint32_t iflag, uint32_t cflag, uint32_t baud)
{
    {
        std::lock_guard lock(mutex_);
        offer_ = {iflag, cflag, baud};
        offered_ = true;
    }
    uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
}

// On the device's thread, the only one that touches the termios unlocked.
void CusePort::Impl::ApplyOffer()
{
    Offer o;
    {
        std::lock_guard lock(mutex_);
        if (!std::exchange(offered_, false))
            return;
        o = offer_;
    }
    termios2 t = settings_;  // its characters and local modes stay
    t.c_iflag = o.iflag;
    t.c_cflag = (o.cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER;
    t.c_ispeed = t.c_ospeed = o.baud;
    SetSettings(t, false);
}
void CusePort::Impl::Flush(unsigned long which)
{
    Event(which == TCIFLUSH ? CuseLineEvent::kFlushInput
          : which == TCOFLUSH ? CuseLineEvent::kFlushOutput : CuseLineEvent::kFlushBoth);
    if (which == TCIFLUSH || which == TCIOFLUSH) {
        in_.Clear();
        DiscardBridgeInput();
    }
    if (which == TCOFLUSH || which == TCIOFLUSH) {
        out_.Clear();
        uint8_t chunk[16384];
        while (recv(bridge_.Get(), chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
        }
    }
}

// ---- ioctl
//
// Pointer arguments come in two rounds: the first call has no bytes, and
// the answer (FUSE_IOCTL_RETRY) names what the kernel must copy in or out.

namespace {

bool NeedIn(fuse_req_t req, void* arg, size_t size, size_t inSize)
{
    if (inSize >= size)
        return false;
    iovec iov{arg, size};
    fuse_reply_ioctl_retry(req, &iov, 1, nullptr, 0);
    return true;
}

bool NeedOut(fuse_req_t req, void* arg, size_t size, size_t outSize)
{
    if (outSize >= size)
        return false;
    iovec iov{arg, size};
    fuse_reply_ioctl_retry(req, nullptr, 0, &iov, 1);
    return true;
}

}  // namespace

void CusePort::Impl::ReplyInt(fuse_req_t req, int value, void* arg, size_t outSize)
{
    if (!NeedOut(req, arg, sizeof value, outSize))
        fuse_reply_ioctl(req, 0, &value, sizeof value);
}

void CusePort::Impl::Ioctl(fuse_req_t req, unsigned cmd, void* arg, const void* in, size_t inSize, size_t outSize)
{
    if (TermiosIoctl(req, cmd, arg, in, inSize, outSize) || ModemIoctl(req, cmd, arg, in, inSize, outSize) ||
        QueueIoctl(req, cmd, arg, outSize))
        return;
    fuse_reply_err(req, ENOTTY);
}

bool CusePort::Impl::TermiosIoctl(fuse_req_t req, unsigned cmd, void* arg, const void* in, size_t inSize,
                                  size_t outSize)
{
    bool two = cmd == TCGETS2 || cmd == TCSETS2 || cmd == TCSETSW2 || cmd == TCSETSF2;
    size_t size = two ? sizeof(termios2) : sizeof(termios);
    switch (cmd) {
    case TCGETS:
    case TCGETS2:
        if (!NeedOut(req, arg, size, outSize))
            fuse_reply_ioctl(req, 0, &settings_, size);
        return true;
    case TCSETS:
    case TCSETS2:
    case TCSETSW:
    case TCSETSW2:
    case TCSETSF:
    case TCSETSF2:
        if (!NeedIn(req, arg, size, inSize))
            SetIoctl(req, cmd, in, size);
        return true;
    case TCSBRK:   // tcdrain (non-zero) and tcsendbreak (zero): both wait for the bytes first
    case TCSBRKP: {  // a break of arg tenths of a second, 0 as tcsendbreak
        const uintptr_t n = reinterpret_cast<uintptr_t>(arg);
        PendingDrain d{req};
        if (n == 0)
            d.breakMs = 250;  // as Linux times tcsendbreak
        else if (cmd == TCSBRKP)
            d.breakMs = static_cast<unsigned>(std::min<uintptr_t>(n, 600) * 100);
        drains_.push_back(d);
        Watch(req);
        return true;
    }
    case TCFLSH:
        if (reinterpret_cast<uintptr_t>(arg) > TCIOFLUSH) {
            fuse_reply_err(req, EINVAL);
            return true;
        }
        Flush(reinterpret_cast<uintptr_t>(arg));
        fuse_reply_ioctl(req, 0, nullptr, 0);
        return true;
    case TCXONC:  // tcflow: output stops and starts; no XON/XOFF byte ever joins the data
        if (reinterpret_cast<uintptr_t>(arg) == TCOOFF || reinterpret_cast<uintptr_t>(arg) == TCOON)
            outputStopped_ = reinterpret_cast<uintptr_t>(arg) == TCOOFF;
        fuse_reply_ioctl(req, 0, nullptr, 0);
        return true;
    }
    return false;
}

// TCSETS at once; TCSETSW after the drain, TCSETSF then also flushing input.
void CusePort::Impl::SetIoctl(fuse_req_t req, unsigned cmd, const void* in, size_t size)
{
    termios2 t = settings_;
    memcpy(&t, in, size);
    if (cmd == TCSETS || cmd == TCSETS2) {
        SetSettings(t);
        fuse_reply_ioctl(req, 0, nullptr, 0);
        return;
    }
    drains_.push_back({req, true, cmd == TCSETSF || cmd == TCSETSF2, t});
    Watch(req);
}

bool CusePort::Impl::ModemIoctl(fuse_req_t req, unsigned cmd, void* arg, const void* in, size_t inSize,
                                size_t outSize)
{
    switch (cmd) {
    case TIOCMGET: {
        int bits = (dtr_ ? TIOCM_DTR : 0) | (rts_ ? TIOCM_RTS : 0) | inputs_;
        ReplyInt(req, bits, arg, outSize);
        return true;
    }
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: {
        if (NeedIn(req, arg, sizeof(int), inSize))
            return true;
        int bits;
        memcpy(&bits, in, sizeof bits);
        {
            std::lock_guard lock(mutex_);
            if (cmd == TIOCMSET || (bits & TIOCM_DTR))
                dtr_ = cmd == TIOCMBIC ? false : cmd == TIOCMBIS ? true : (bits & TIOCM_DTR) != 0;
            if (cmd == TIOCMSET || (bits & TIOCM_RTS))
                rts_ = cmd == TIOCMBIC ? false : cmd == TIOCMBIS ? true : (bits & TIOCM_RTS) != 0;
        }
        LinesChanged();
        fuse_reply_ioctl(req, 0, nullptr, 0);
        return true;
    }
    case TIOCMIWAIT:
        waits_.push_back({req, static_cast<unsigned>(reinterpret_cast<uintptr_t>(arg))});
        Watch(req);
        return true;
    case TIOCGICOUNT:
        if (!NeedOut(req, arg, sizeof icount_, outSize))
            fuse_reply_ioctl(req, 0, &icount_, sizeof icount_);
        return true;
    case TIOCSBRK:
    case TIOCCBRK:
        Event(cmd == TIOCSBRK ? CuseLineEvent::kBreakOn : CuseLineEvent::kBreakOff);
        fuse_reply_ioctl(req, 0, nullptr, 0);
        return true;
    }
    return false;
}

bool CusePort::Impl::QueueIoctl(fuse_req_t req, unsigned cmd, void* arg, size_t outSize)
{
    switch (cmd) {
    case FIONREAD:
        ReplyInt(req, static_cast<int>(in_.Size() + Unread(device_.Get())), arg, outSize);
        return true;
    case TIOCOUTQ:
        ReplyInt(req, static_cast<int>(out_.Size() + UnreadByBridge()), arg, outSize);
        return true;
    case TIOCEXCL:
    case TIOCNXCL:
        exclusive_ = cmd == TIOCEXCL;
        fuse_reply_ioctl(req, 0, nullptr, 0);
        return true;
    case TIOCGEXCL:
        ReplyInt(req, exclusive_ ? 1 : 0, arg, outSize);
        return true;
    }
    return false;
}

// ---- the owner's side

void CusePort::Impl::SetConnected(bool connected)
{
    {
        std::lock_guard lock(mutex_);
        connected_ = connected;
        if (!connected)
            farLines_ = -1;
    }
    uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
}

void CusePort::Impl::SetModemInputs(uint8_t lines)
{
    {
        std::lock_guard lock(mutex_);
        farLines_ = lines;
    }
    uint64_t one = 1;
    (void)!write(wake_.Get(), &one, sizeof one);
}

bool CusePort::Impl::ProgramSettings() const
{
    std::lock_guard lock(mutex_);
    return programSettings_;
}

std::vector<CuseLineEvent> CusePort::Impl::TakeLineEvents()
{
    std::lock_guard lock(mutex_);
    std::vector<CuseLineEvent> taken(events_.begin(), events_.end());
    events_.clear();
    return taken;
}

CuseLines CusePort::Impl::Lines() const
{
    std::lock_guard lock(mutex_);
    return {dtr_, rts_, opens_ > 0};
}

CuseLineSettings CusePort::Impl::Settings() const
{
    std::lock_guard lock(mutex_);
    CuseLineSettings s;
    memcpy(static_cast<void*>(&s), &settings_, sizeof s);
    return s;
}

bool CusePort::Impl::Ended() const
{
    std::lock_guard lock(mutex_);
    return ended_;
}

std::unique_ptr<CusePort> CusePort::Create(const CuseNode& node, std::string* error)
{
    auto impl = std::make_unique<Impl>(node);
    if (!impl->Start(error))
        return nullptr;
    return std::unique_ptr<CusePort>(new CusePort(std::move(impl)));
}

CusePort::CusePort(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CusePort::~CusePort() = default;
const std::string& CusePort::Path() const { return impl_->Path(); }
int CusePort::BridgeFd() const { return impl_->BridgeFd(); }
void CusePort::SetConnected(bool connected) { impl_->SetConnected(connected); }
void CusePort::SetModemInputs(uint8_t lines) { impl_->SetModemInputs(lines); }
bool CusePort::ProgramSettings() const { return impl_->ProgramSettings(); }
void CusePort::OfferLine(uint32_t iflag, uint32_t cflag, uint32_t baud) { impl_->OfferLine(iflag, cflag, baud); }
std::vector<CuseLineEvent> CusePort::TakeLineEvents() { return impl_->TakeLineEvents(); }
CuseLines CusePort::Lines() const { return impl_->Lines(); }
CuseLineSettings CusePort::Settings() const { return impl_->Settings(); }
int CusePort::LineEventFd() const { return impl_->LineEventFd(); }
bool CusePort::Ended() const { return impl_->Ended(); }
