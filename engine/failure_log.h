// What a port's log says about its failures (connect, bind, lookup), so that
// a port that is down for months neither floods the journal nor stays
// silent: a failure when it first happens, the same failure again at most
// once an hour with its count, and a line when it clears.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "engine/seconds_clock.h"

class FailureLog {
public:
    // name starts every line ("COM5").
    FailureLog(std::string name, const SecondsClock& clock) : name_(std::move(name)), clock_(clock) {}

    // A failure ("connect 10.0.0.7:4001: Connection refused"): printed to
    // standard error when it differs from the last one, else counted.
    void Failed(const std::string& text);
    // What the last failure stood in the way of works now ("connected to
    // 10.0.0.7:4001"); one line, and only after a failure.
    void Cleared(const std::string& what);

private:
    static constexpr uint32_t kRepeatSeconds = 3600;

    std::string name_;
    const SecondsClock& clock_;
    std::string text_;         // the standing failure; empty when none
    uint32_t unprinted_ = 0;   // its repeats since its last line
    uint32_t total_ = 0;       // and all its occurrences
    int32_t printedAt_ = 0;
};
