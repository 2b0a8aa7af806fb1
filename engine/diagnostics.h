// Diagnostics: the one sink every part of the program writes its log lines
// to. Progress lines go to standard output, failures and notes to standard
// error, each whole line written at once so lines of several bridges never mix.
#pragma once

#include <string>

enum class DiagStream { Out, Err };

// Receives each finished line (newline included). The default writes it to
// stdout or stderr and flushes at once, so an observer reading a pipe sees it
// as it happens. Replaced only by tests; nullptr restores the default.
using DiagSink = void (*)(DiagStream stream, const std::string& line);
void SetDiagSink(DiagSink sink);

// A progress line on standard output.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A note on standard error, as written (the caller ends it with a newline).
void LogNote(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A failure line on standard error: the message, then " ERROR <text> (<errno>)".
// errno is taken before anything else can change it.
void LogLastError(const char* format, ...) __attribute__((format(printf, 1, 2)));
