#pragma once

// Whatever receives menu commands by id: the main window in the program, a
// recorder in tests. PostCommand queues; it never runs the command inline.
class CommandTarget {
public:
    virtual ~CommandTarget() = default;
    virtual void PostCommand(int id) = 0;
};
