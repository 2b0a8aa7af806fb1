#include "engine/failure_log.h"

#include "engine/diagnostics.h"

void FailureLog::Failed(const std::string& text)
{
    const int32_t now = clock_.Now();
    if (text == text_) {
        ++unprinted_;
        ++total_;
        if (SecondsDue(SecondsAfter(printedAt_, kRepeatSeconds), now)) {
            LogNote("%s: %s (repeated %u times)\n", name_.c_str(), text_.c_str(), unprinted_);
            unprinted_ = 0;
            printedAt_ = now;
        }
        return;
    }
    // Another failure takes the place of one whose repeats were not told yet.
    if (unprinted_ > 0)
        LogNote("%s: %s (repeated %u times)\n", name_.c_str(), text_.c_str(), unprinted_);
    text_ = text;
    unprinted_ = 0;
    total_ = 1;
    printedAt_ = now;
    LogNote("%s: %s\n", name_.c_str(), text_.c_str());
}

void FailureLog::Cleared(const std::string& what)
{
    if (text_.empty())
        return;
    LogNote("%s: %s (cleared after %u failures: %s)\n", name_.c_str(), what.c_str(), total_,
            text_.c_str());
    text_.clear();
    unprinted_ = total_ = 0;
}
