#include "engine/protocol.h"

int Protocol::FromSerial(const unsigned char* bytes, int n)
{
    if (n <= 0)
        return 0;
    return static_cast<int>(toNet.Write(bytes, static_cast<uint32_t>(n)));
}

int Protocol::FromNet(const unsigned char* bytes, int n)
{
    if (n <= 0)
        return 0;
    return static_cast<int>(toSerial.Write(bytes, static_cast<uint32_t>(n)));
}

void Protocol::Reset()
{
    toNet.Clear();
    toSerial.Clear();
    toNet.TakeOutOfMemory();
    toSerial.TakeOutOfMemory();
}

bool Protocol::Poll() { return TakeQueueFailure(); }

bool Protocol::TakeRegistered() { return false; }

int Protocol::SecondsUntilDue() const { return -1; }

bool Protocol::TakeQueueFailure()
{
    bool a = toNet.TakeOutOfMemory();
    bool b = toSerial.TakeOutOfMemory();
    return a || b;
}
