// Shared pieces of the engine tests: real pseudo-terminal pairs behind a
// bridge-side provider, recorded states, captured diagnostics and loopback
// peers.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/bridge.h"
#include "engine/bridge_side.h"
#include "engine/diagnostics.h"
#include "engine/port_table.h"
#include "engine/resolver.h"
#include "../net_helpers.h"

namespace enginetest {

using namespace testnet;

// A fresh port table and pairs 1 to 9, made with openpty as the pair layer
// makes them (the master held for the pair's life, the user side raw and
// closed); the fixture hands out their bridge sides and records the states
// the bridges post. Every bridge is joined before the next test.
class EngineTest : public ::testing::Test, public BridgeSideProvider, public PortStateTarget {
protected:
    void SetUp() override
    {
        Capture(DiagStream::Out, nullptr, true);
        SetDiagSink(&Sink);
        InitPortTable(this);
        termios raw{};
        cfmakeraw(&raw);
        char path[128];
        for (int n = 1, user; n <= 9; ++n, close(user)) {
            ASSERT_EQ(openpty(&pairs_[n].master, &user, path, &raw, nullptr), 0);
            pairs_[n].userPath = path;
        }
        SetBridgeSideProvider(this);
        SetLookupHelper(VR_LOOKUP_HELPER);
    }
    void TearDown() override
    {
        JoinAllBridges();
        SetBridgeSideProvider(nullptr);
        SetDiagSink(nullptr);
        for (auto& [n, pair] : pairs_)
            fds_.push_back(pair.master);
        for (int fd : fds_)
            close(fd);
    }
    int Keep(int fd) { return fds_.push_back(fd), fd; }
    // The serial program's side.
    int OpenUser(int n) { return open(pairs_.at(n).userPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }
    int OpenBridgeSide(const char* name) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pairs_.find(atoi(name + 4));
        errno = it == pairs_.end() ? ENOENT : EBUSY;
        if (it == pairs_.end() || std::exchange(it->second.open, true))
            return -1;
        return fcntl(it->second.master, F_DUPFD_CLOEXEC, 0);
    }
    void CloseBridgeSide(const char* name, int fd) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pairs_[atoi(name + 4)].open = false;
        close(fd);
    }
    void PostPortStateMessage(PortRecord* record, int32_t state) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        posts_[record].push_back(state);
        cv_.notify_all();
        lock.unlock();
        if (onPost_)
            onPost_(state);
    }
    std::vector<int32_t> States(PortRecord* record)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return posts_[record];
    }
    // Waits until record has posted state `count` times in all.
    bool WaitFor(PortRecord* record, int32_t state, long count = 1)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, milliseconds(8000), [&] {
            return std::count(posts_[record].begin(), posts_[record].end(), state) >= count;
        });
    }
    // The diagnostic lines so far: standard output's, standard error's.
    std::string Out() { return Capture(DiagStream::Out, nullptr); }
    std::string Err() { return Capture(DiagStream::Err, nullptr); }
    static void Sink(DiagStream stream, const std::string& line) { Capture(stream, &line); }
    static std::string Capture(DiagStream stream, const std::string* line, bool clear = false)
    {
        static std::mutex mutex;
        static std::string lines[2];
        std::lock_guard<std::mutex> lock(mutex);
        if (clear)
            lines[0].clear(), lines[1].clear();
        return line ? lines[stream == DiagStream::Err] += *line : lines[stream == DiagStream::Err];
    }
    PortRecord* Record(int n, PortMode mode, const char* dst, uint16_t dstPort, uint16_t locPort = 0)
    {
        PortRecord* r = &PortTable[n];
        r->number = n, r->mode = mode, r->dstPort = dstPort, r->locPort = locPort;
        snprintf(r->name, sizeof r->name, "COM%d", n);
        return SetDstAddrText(r, dst), r;
    }

    struct Pair { int master = -1; std::string userPath; bool open = false; };
    std::map<int, Pair> pairs_;
    std::vector<int> fds_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<PortRecord*, std::vector<int32_t>> posts_;
    std::function<void(int32_t)> onPost_;  // runs on the bridge thread
};

}  // namespace enginetest
