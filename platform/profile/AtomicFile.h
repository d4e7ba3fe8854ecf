#pragma once

// Whole-file reads and crash-safe replacement, shared by the ini files and the registry store.
// Errors are reported as errno values (0 = success); callers that need a platform error code map
// them with the communications layer's single errno mapping.

#include <string>
#include <string_view>

// Reads the whole file into out. Returns 0, ENOENT when it does not exist, EISDIR for a directory,
// EINVAL for anything else that is no regular file (a FIFO, a device), EFBIG when it exceeds
// MaxProfileFileSize, or the errno of the failed call.
int ReadWholeFile(const std::string& path, std::string& out);

// Replaces the file's contents with data so that a crash leaves either the old or the new file:
// a temporary file in the same directory is written, flushed to disk and renamed over the target.
// An existing file keeps its permission bits; a symbolic link is followed and its target replaced.
// Returns 0 or an errno value; on failure the existing file is untouched and no temporary remains.
int WriteFileAtomically(const std::string& path, std::string_view data);

// Settings files are small; anything larger is refused rather than read into memory.
constexpr std::size_t MaxProfileFileSize = 64u << 20;
