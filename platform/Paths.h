#pragma once
// Where the program's files live.

#include <string>

// Full path of the running executable.
std::string ExePath();
// Its folder, with a trailing "/".
std::string ExeDir();

// A directory only the current user can use, for files that must not be
// planted or read by others: $XDG_RUNTIME_DIR when it is set and belongs to
// the user; otherwise <temporary folder>/varno-<uid>, created with mode 0700.
// Raises Exception when the directory cannot be created, or is owned by
// someone else or open to others.
std::string PrivateRuntimeDir();

bool FileExists(const std::string& path);
// Removes a file; false when it could not be removed (missing included).
bool DeleteFile(const std::string& path);
