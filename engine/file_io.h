// Reading and writing the program's files: the options document, an exported
// port list, pairs.dat, comdb.dat and the autostart entry. Reads open without
// blocking, so a FIFO in a file's place can never hang the program, and take
// only regular files. Writes replace a file whole through a temporary file
// and a rename, so a reader, a crash or a full disk never leaves half a file.
// Every failure can be told as a text that names the file and the reason
// ("cannot write /x/options.dat: Read-only file system").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Each function below that gives false also puts, when `error` is given,
// "cannot read FILE: REASON" or "cannot write FILE: REASON" there, FILE
// being the full path where dirfd names a folder.

// Reads dir/name whole (dirfd may be AT_FDCWD with a path). False with errno
// set when it cannot be opened, is no regular file (EINVAL, EISDIR), is
// larger than limit bytes (EFBIG) or cannot be read.
bool ReadFileWhole(int dirfd, const char* name, size_t limit, std::string* out,
                   std::string* error = nullptr);

// The same, but a missing file reads as empty and succeeds.
bool ReadSmallFile(int dirfd, const char* name, size_t limit, std::string* out,
                   std::string* error = nullptr);

// A document file larger than this is treated as unreadable, never read.
constexpr size_t kMaxDocumentFileSize = 16u * 1024 * 1024;

// Reads a whole document file (options or an exported port list) of at most
// kMaxDocumentFileSize bytes; the text ends at its first zero byte. False,
// with `text` untouched, when it cannot be read.
bool ReadDocumentFile(const char* path, std::string& text, std::string* error = nullptr);

// Reads dir/name whole, at any size, keeping each line of at most lineMax
// bytes as it is and putting "#" (which no reader takes) in place of a longer
// one: line numbers stay true, a line is never cut into something else, and
// memory is bounded by the short lines. A missing file reads as empty; a
// file that is not a regular file (a directory, a FIFO) gives false.
bool ReadLineFile(int dirfd, const char* name, size_t lineMax, std::string* out,
                  std::string* error = nullptr);

// Writes dir/name whole through "name.tmp" and a rename (dirfd may be
// AT_FDCWD with a path). Gives false with errno set, leaving the old file as
// it was.
bool WriteFileAtomic(int dirfd, const char* name, std::string_view content,
                     std::string* error = nullptr);

// "12 bytes", "3.5 KB", "16 MB": a size for a message, rounded up to a
// tenth so that a file just over a limit never reads as the limit.
std::string SizeText(uint64_t bytes);
