#include "engine/stop_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "engine/seconds_clock.h"

std::shared_ptr<StopEvent> StopEvent::Create()
{
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return nullptr;
    std::shared_ptr<StopEvent> event(new (std::nothrow) StopEvent(fd));
    if (!event) {
        close(fd);
        errno = ENOMEM;
    }
    return event;
}

StopEvent::~StopEvent() { close(fd_); }

void StopEvent::Signal()
{
    // Nobody ever reads the counter, so it stays readable for good.
    uint64_t one = 1;
    ssize_t n;
    do {
        n = write(fd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

bool StopEvent::IsSignalled() const { return Wait(0); }

bool StopEvent::Wait(int ms) const
{
    pollfd p{fd_, POLLIN, 0};
    return PollUntil(&p, 1, DeadlineIn(ms)) > 0;
}
