#include "engine/serial_side.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "engine/bridge_side.h"
#include "engine/diagnostics.h"
#include "engine/port_table.h"

BridgeDevice::BridgeDevice(BridgeDevice&& other) noexcept { *this = std::move(other); }

BridgeDevice& BridgeDevice::operator=(BridgeDevice&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        savedFlags_ = other.savedFlags_;
        memcpy(name_, other.name_, sizeof name_);
        provider_ = std::exchange(other.provider_, nullptr);
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

BridgeDevice HoldBridgeSide(const char* name)
{
    BridgeDevice device;
    BridgeSideProvider* provider = GetBridgeSideProvider();
    int fd = -1;
    if (!provider || strlen(name) >= sizeof device.name_)
        errno = ENOENT;
    else
        fd = provider->OpenBridgeSide(name);
    if (fd >= 0) {
        device.fd_ = fd;
        device.provider_ = provider;
        device.savedFlags_ = fcntl(fd, F_GETFL);
        CopyField(device.name_, sizeof device.name_, name, sizeof device.name_ - 1);
    }
    return device;
}

BridgeDevice OpenDevice(const PortRecord* record)
{
    char name[16];
    if (!BridgeSideName(record, name, sizeof name)) {
        errno = ENOENT;
        return BridgeDevice();
    }
    BridgeDevice device = HoldBridgeSide(name);
    if (!device.IsOpen()) {
        LogLastError("%s: open(\"%s\")", LogName(record), name);
        return device;
    }
    // A read must come back at once with what is there: the pump waits in
    // poll(), never in read() or write().
    if (device.savedFlags_ < 0 || fcntl(device.fd_, F_SETFL, device.savedFlags_ | O_NONBLOCK) != 0) {
        LogLastError("%s: fcntl(\"%s\", O_NONBLOCK)", LogName(record), name);
        device.Close();
        return device;
    }
    // Stated once per connection: a CUSE device's own line as the program
    // set it; a pseudo-terminal has none, and its bridge side keeps these
    // settings for good.
    const std::string user = device.provider_->UserSideText(name);
    if (!user.empty())
        LogLine("%s: open(\"%s\", %s) - OK\n", LogName(record), name, user.c_str());
    else
        LogLine("%s: open(\"%s\", baud=19200, data=8, parity=no, stop=1) - OK\n", LogName(record), name);
    return device;
}

bool ReadDeviceStatus(const BridgeDevice& device, DeviceStatus* status)
{
    pollfd p{device.Fd(), POLLIN, 0};
    if (PollUntil(&p, 1, DeadlineIn(0)) < 0)
        return false;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return false;
    }
    status->input = (p.revents & POLLIN) != 0;
    UserSideLineState lines;
    if (device.provider_ && device.provider_->UserSideLines(device.name_, &lines)) {
        uint64_t events;
        if (lines.eventFd >= 0)
            [[maybe_unused]] ssize_t n = read(lines.eventFd, &events, sizeof events);
        // Read again after the clear, so that no change falls between.
        device.provider_->UserSideLines(device.name_, &lines);
        status->dsr = lines.held;
        status->dtr = lines.held && lines.dtr;
        status->lineEventFd = lines.eventFd;
        return true;
    }
    // The master reports a hang-up exactly while no program holds the user
    // side open.
    status->dsr = status->dtr = !(p.revents & POLLHUP);
    status->lineEventFd = -1;
    return true;
}

void TakeUserSideLine(const BridgeDevice& device, LineListener& to, bool fresh)
{
    if (device.provider_)
        device.provider_->TakeUserSideLine(device.name_, to, fresh);
}

void SetUserSideModem(const BridgeDevice& device, uint8_t lines)
{
    if (device.provider_)
        device.provider_->SetUserSideModem(device.name_, lines);
}

void PurgeUserSide(const BridgeDevice& device, bool programBytes)
{
    // A socket (a CUSE device's bridge end): the device throws away what is
    // meant for a closed port itself; what a program wrote is read away.
    struct stat st{};
    if (fstat(device.Fd(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        char sink[4096];
        while (programBytes && recv(device.Fd(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        return;
    }
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

UserSideKeeper::UserSideKeeper(const PortRecord* record) : detectDtr_(record->detectDtr != 0)
{
    BridgeSideName(record, name_, sizeof name_);
    Reacquire();
}

void UserSideKeeper::Release()
{
    edges_.Reset();
    device_.Close();
}

void UserSideKeeper::Reacquire()
{
    device_ = HoldBridgeSide(name_);
    purged_ = false;
    missing_.clear();
    if (!device_.IsOpen()) {
        const int error = errno;
        BridgeSideProvider* provider = GetBridgeSideProvider();
        missing_ = provider ? provider->BridgeSideFailure(name_) : std::string();
        if (missing_.empty())
            missing_ = std::string("open(\"") + name_ + "\"): " + strerror(error);
    }
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
    lineFd_ = status.lineEventFd;
    dsr_ = detectDtr_ ? status.dtr : status.dsr;
    // Closed: what is left either way belongs to an open that has ended.
    // Bytes that show up later came from an open too short to be seen.
    if (!dsr_ && (!purged_ || status.input)) {
        PurgeUserSide(device_, true);
        purged_ = true;
    }
    if (dsr_)
        purged_ = false;
}

int UserSideKeeper::Poll(pollfd* fds, int n, Deadline deadline)
{
    pollfd all[5];
    if (n > 3) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        std::copy(fds, fds + n, all);
        all[n] = {-1, 0, 0};
        // A user side with lines of its own (a CUSE device) tells of every
        // open, close and DTR change; a pseudo-terminal's close shows as its
        // bridge side's hang-up. While the session is off, a program that
        // writes shows as an edge; one that opens without writing leaves
        // nothing to throw away.
        all[n + 1] = {device_.IsOpen() ? lineFd_ : -1, POLLIN, 0};
        Deadline until = deadline;
        if (device_.IsOpen()) {
            if (dsr_ && lineFd_ < 0)
                all[n] = {device_.Fd(), 0, 0};
            else if (!dsr_ && edges_.IsValid())
                all[n] = {edges_.Get(), POLLIN, 0};
            else if (!dsr_)
                until = std::min(deadline, DeadlineIn(kClosedLookMs));
        }
        const int r = PollUntil(all, static_cast<nfds_t>(n + 2), until);
        if (r < 0)
            return r;
        int ready = 0;
        for (int i = 0; i < n; ++i) {
            fds[i].revents = all[i].revents;
            ready += fds[i].revents != 0;
        }
        if (ready > 0)
            return ready;
        if (deadline != kNoDeadline && std::chrono::steady_clock::now() >= deadline)
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
    return Poll(&p, 1, DeadlineIn(ms)) > 0;
}
