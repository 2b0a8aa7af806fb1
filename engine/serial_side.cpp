#include "engine/serial_side.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/bridge_side.h"
#include "engine/port_table.h"
#include "engine/seconds_clock.h"
#include "engine/unique_fd.h"

namespace {

const char kDevicePrefix[] = "\\\\.\\";  // the four characters \\.\ of a device path

struct SpeedName {
    speed_t code;
    int32_t baud;
};

const SpeedName kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

// The pseudo-terminal's own line settings, in the terms of SerialParams: what
// "keep the device's value" means for a field the caller leaves unset.
SerialParams SettingsOf(const termios& t)
{
    SerialParams s;
    s.baudRate = 0;
    speed_t code = cfgetospeed(&t);
    for (const SpeedName& sp : kSpeeds) {
        if (sp.code == code)
            s.baudRate = sp.baud;
    }
    switch (t.c_cflag & CSIZE) {
    case CS5: s.byteSize = 5; break;
    case CS6: s.byteSize = 6; break;
    case CS7: s.byteSize = 7; break;
    default: s.byteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        s.parity = 0;
    else if (t.c_cflag & CMSPAR)
        s.parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        s.parity = (t.c_cflag & PARODD) ? 1 : 2;
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    return s;
}

}  // namespace

const char* ParityName(int32_t parity)
{
    switch (parity) {
    case -1: return "default";
    case 0: return "no";
    case 1: return "odd";
    case 2: return "even";
    case 3: return "mark";
    case 4: return "space";
    default: return "?";
    }
}

const char* StopBitsName(int32_t stopBits)
{
    switch (stopBits) {
    case -1: return "default";
    case 0: return "1";
    case 1: return "1.5";
    case 2: return "2";
    default: return "?";
    }
}

BridgeDevice::BridgeDevice(BridgeDevice&& other) noexcept { *this = std::move(other); }

BridgeDevice& BridgeDevice::operator=(BridgeDevice&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        savedFlags_ = other.savedFlags_;
        memcpy(name_, other.name_, sizeof name_);
        provider_ = std::exchange(other.provider_, nullptr);
        settings_ = other.settings_;
    }
    return *this;
}

void BridgeDevice::Close()
{
    if (fd_ < 0)
        return;
    // The descriptor shares its open file with the pair layer's own: hand it
    // back as it was given.
    fcntl(fd_, F_SETFL, savedFlags_);
    if (provider_)
        provider_->CloseBridgeSide(name_, fd_);
    else
        ::close(fd_);
    fd_ = -1;
    provider_ = nullptr;
}

namespace {

// Ends a bounded write: a handler that does nothing, installed without
// SA_RESTART, makes the kernel return from the write it interrupts.
int BoundedWriteSignal() { return SIGRTMIN + 4; }

void EndWait(int) {}

bool InstallEndWait()
{
    struct sigaction sa {};
    sa.sa_handler = EndWait;
    sigemptyset(&sa.sa_mask);
    return sigaction(BoundedWriteSignal(), &sa, nullptr) == 0;
}

}  // namespace

BoundedDeviceWriter::BoundedDeviceWriter(std::chrono::microseconds limit) : limit_(limit)
{
    static const bool installed = InstallEndWait();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, BoundedWriteSignal());
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = BoundedWriteSignal();
    ev._sigev_un._tid = gettid();
    hasTimer_ = installed && pthread_sigmask(SIG_UNBLOCK, &set, nullptr) == 0 &&
                timer_create(CLOCK_MONOTONIC, &ev, &timer_) == 0;
}

BoundedDeviceWriter::~BoundedDeviceWriter()
{
    if (hasTimer_)
        timer_delete(timer_);
}

ssize_t BoundedDeviceWriter::Write(int fd, const void* data, size_t n)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit_);
    itimerspec arm{};
    arm.it_value.tv_sec = static_cast<time_t>(seconds.count());
    arm.it_value.tv_nsec = static_cast<long>((limit_ - seconds).count() * 1000);
    // Again and again: an end that comes before the write starts to wait is
    // followed by one that ends the wait.
    arm.it_interval = arm.it_value;
    const int flags = hasTimer_ ? fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || timer_settime(timer_, 0, &arm, nullptr) != 0)
        return write(fd, data, n);
    const bool blocking = fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
    const ssize_t written = write(fd, data, n);
    const int err = errno;
    if (blocking)
        fcntl(fd, F_SETFL, flags);
    const itimerspec disarm{};
    timer_settime(timer_, 0, &disarm, nullptr);
    errno = err;
    return written;
}

BridgeDevice HoldBridgeSide(const char* path)
{
    BridgeDevice device;
    const char* name = path;
    if (strncmp(path, kDevicePrefix, sizeof kDevicePrefix - 1) == 0)
        name = path + sizeof kDevicePrefix - 1;

    BridgeSideProvider* provider = GetBridgeSideProvider();
    int fd = -1;
    if (!provider || strlen(name) >= sizeof device.name_) {
        errno = ENOENT;
    } else {
        fd = provider->OpenBridgeSide(name);
    }
    if (fd >= 0) {
        device.fd_ = fd;
        device.provider_ = provider;
        device.savedFlags_ = fcntl(fd, F_GETFL);
        CopyField(device.name_, sizeof device.name_, name, sizeof device.name_ - 1);
    }
    return device;
}

BridgeDevice OpenDevice(const char* path, const SerialParams& params)
{
    BridgeDevice device = HoldBridgeSide(path);
    if (!device.IsOpen()) {
        LogLastError("OpenDevice(): CreateFile(\"%s\")", path);
        return device;
    }
    const int fd = device.fd_;

    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        LogLastError("GetCommState()");
        device.Close();
        return device;
    }
    SerialParams s = SettingsOf(t);
    if (params.baudRate > 0)
        s.baudRate = params.baudRate;
    if (params.byteSize > 0)
        s.byteSize = params.byteSize;
    if (params.parity >= 0)
        s.parity = params.parity;
    if (params.stopBits >= 0)
        s.stopBits = params.stopBits;
    s.ignoreDSR = params.ignoreDSR;
    device.settings_ = s;

    // A read must come back at once with what is there: the pump waits in
    // poll(), never in read() or write().
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        LogLastError("OpenDevice(): GetCommTimeouts()");
        device.Close();
        return device;
    }
    device.savedFlags_ = flags;
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        LogLastError("OpenDevice(): SetCommTimeouts()");
        device.Close();
        return device;
    }

    LogLine("OpenDevice(\"%s\", baud=%ld, data=%ld, parity=%s, stop=%s) - OK\n", path,
            static_cast<long>(s.baudRate), static_cast<long>(s.byteSize), ParityName(s.parity),
            StopBitsName(s.stopBits));
    return device;
}

bool ReadDeviceStatus(const BridgeDevice& device, DeviceStatus* status)
{
    pollfd p{device.Fd(), POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return false;
    }
    // The master reports a hang-up exactly while no program holds the user
    // side open.
    status->dsr = !(p.revents & POLLHUP);
    status->input = (p.revents & POLLIN) != 0;
    return true;
}

void PurgeUserSide(const BridgeDevice& device, bool programBytes)
{
    if (programBytes)
        tcflush(device.Fd(), TCIFLUSH);
    // Flushing from the master side leaves what the user side's line
    // discipline already holds; only a flush of the user side's input
    // empties both. Opening it for a moment is harmless: nobody holds it.
    char path[64];
    if (ptsname_r(device.Fd(), path, sizeof path) != 0)
        return;
    UniqueFd user(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (user.IsValid())
        tcflush(user.Get(), TCIFLUSH);
}

UserSideKeeper::UserSideKeeper(const PortRecord* record)
{
    BridgeDevicePath(record, path_, sizeof path_);
    Reacquire();
}

void UserSideKeeper::Release()
{
    edges_.Reset();
    device_.Close();
}

void UserSideKeeper::Reacquire()
{
    device_ = HoldBridgeSide(path_);
    purged_ = false;
    if (device_.IsOpen()) {
        // Edge-triggered, the hang-up of a closed user side is told once,
        // and again only when a program writes or closes.
        edges_.Reset(epoll_create1(EPOLL_CLOEXEC));
        epoll_event e{};
        e.events = EPOLLIN | EPOLLET;
        if (edges_.IsValid() && epoll_ctl(edges_.Get(), EPOLL_CTL_ADD, device_.Fd(), &e) != 0)
            edges_.Reset();
    }
    Look();
}

void UserSideKeeper::Look()
{
    DeviceStatus status;
    if (!device_.IsOpen() || !ReadDeviceStatus(device_, &status))
        return;
    dsr_ = status.dsr;
    // Closed: what is left either way belongs to an open that has ended.
    // Bytes that show up later came from an open too short to be seen.
    if (!dsr_ && (!purged_ || status.input)) {
        PurgeUserSide(device_, true);
        purged_ = true;
    }
    if (dsr_)
        purged_ = false;
}

int UserSideKeeper::Poll(pollfd* fds, int n, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd all[4];
    if (n > 3)
        return -1;
    for (;;) {
        int wait = timeoutMs >= 0 ? MsUntil(deadline) : -1;
        std::copy(fds, fds + n, all);
        all[n] = {-1, 0, 0};
        if (device_.IsOpen()) {
            // A close shows as the bridge side's hang-up. While the user side
            // is closed, a program that opens it and writes shows as an edge;
            // one that opens it without writing leaves nothing to throw away.
            if (dsr_)
                all[n] = {device_.Fd(), 0, 0};
            else if (edges_.IsValid())
                all[n] = {edges_.Get(), POLLIN, 0};
            else if (wait < 0 || wait > kClosedLookMs)
                wait = kClosedLookMs;
        }
        int r = poll(all, static_cast<nfds_t>(n + 1), wait);
        if (r < 0 && errno != EINTR)
            return r;
        int ready = 0;
        for (int i = 0; i < n; ++i) {
            fds[i].revents = r > 0 ? all[i].revents : 0;
            ready += fds[i].revents != 0;
        }
        if (ready > 0)
            return ready;
        if (timeoutMs >= 0 && Clock::now() >= deadline)
            return 0;
        if (edges_.IsValid() && (all[n].revents & POLLIN)) {
            epoll_event e;
            epoll_wait(edges_.Get(), &e, 1, 0);
        }
        Look();
    }
}

bool UserSideKeeper::WaitStop(int stopFd, int ms)
{
    pollfd p{stopFd, POLLIN, 0};
    return Poll(&p, 1, ms) > 0;
}
