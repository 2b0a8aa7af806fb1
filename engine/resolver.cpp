#include "engine/resolver.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/serial_side.h"
#include "engine/stop_event.h"
#include "engine/unique_fd.h"

namespace {

std::atomic<LookupFunction> g_lookup{nullptr};

int SystemLookup(const char* host, in_addr* address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &list);
    if (rc == 0)
        *address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
    if (list)
        freeaddrinfo(list);
    return rc;
}

// Shared by the asking bridge thread and the looking-up thread; whichever
// lets go last frees it, so a bridge that stops never waits for the answer.
struct Lookup {
    std::string host;
    UniqueFd answered{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::mutex mutex;
    int rc = EAI_SYSTEM;
    int err = 0;
    in_addr address{};
};

std::string ErrorText(int rc, int err)
{
    if (rc != EAI_SYSTEM)
        return gai_strerror(rc);
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

}  // namespace

void SetLookupFunction(LookupFunction lookup) { g_lookup.store(lookup); }

bool LookUp(const std::string& host, const StopEvent& stop, UserSideKeeper& keeper,
            in_addr* address, std::string* error)
{
    auto lookup = std::make_shared<Lookup>();
    lookup->host = host;
    if (!lookup->answered.IsValid()) {
        *error = ErrorText(EAI_SYSTEM, errno);
        return false;
    }
    LookupFunction fn = g_lookup.load();
    try {
        std::thread([lookup, fn] {
            in_addr found{};
            errno = 0;
            const int rc = (fn ? fn : SystemLookup)(lookup->host.c_str(), &found);
            const int err = errno;
            {
                std::lock_guard<std::mutex> hold(lookup->mutex);
                lookup->rc = rc;
                lookup->err = err;
                lookup->address = found;
            }
            const uint64_t one = 1;
            ssize_t n;
            do {
                n = write(lookup->answered.Get(), &one, sizeof one);
            } while (n < 0 && errno == EINTR);
        }).detach();
    } catch (const std::system_error& e) {
        *error = ErrorText(EAI_SYSTEM, e.code().value());
        return false;
    }
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {lookup->answered.Get(), POLLIN, 0}};
    if (keeper.Poll(fds, 2, kNoDeadline) < 0) {
        *error = ErrorText(EAI_SYSTEM, errno);
        return false;
    }
    if (fds[0].revents) {
        error->clear();
        return false;
    }
    std::lock_guard<std::mutex> hold(lookup->mutex);
    if (lookup->rc != 0) {
        *error = ErrorText(lookup->rc, lookup->err);
        return false;
    }
    *address = lookup->address;
    return true;
}
