#include "engine/diagnostics.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex gSinkLock;
DiagSink gSink = nullptr;

void DefaultSink(DiagStream stream, const std::string& line)
{
    FILE* f = stream == DiagStream::Out ? stdout : stderr;
    flockfile(f);
    fwrite(line.data(), 1, line.size(), f);
    fflush(f);
    funlockfile(f);
}

std::string Format(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

void Emit(DiagStream stream, const std::string& line)
{
    DiagSink sink;
    {
        std::lock_guard<std::mutex> hold(gSinkLock);
        sink = gSink;
    }
    (sink ? sink : DefaultSink)(stream, line);
}

}  // namespace

void SetDiagSink(DiagSink sink)
{
    std::lock_guard<std::mutex> hold(gSinkLock);
    gSink = sink;
}

void LogLine(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string line = Format(format, args);
    va_end(args);
    Emit(DiagStream::Out, line);
}

void LogNote(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string line = Format(format, args);
    va_end(args);
    Emit(DiagStream::Err, line);
}

void LogLastError(const char* format, ...)
{
    int code = errno;
    char text[256];
    const char* message = strerror_r(code, text, sizeof text);
    va_list args;
    va_start(args, format);
    std::string line = Format(format, args);
    va_end(args);
    line += " ERROR ";
    line += message;
    line += " (" + std::to_string(static_cast<unsigned long>(code)) + ")\n";
    Emit(DiagStream::Err, line);
}
