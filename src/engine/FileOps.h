#pragma once

#include <string>

namespace engine {

// The file operations of a run that tests need to make fail. The base class
// does the real thing; a test double overrides the call it wants to fail.
//
// Threads: any; calls block only as long as the file system does. On failure
// each call returns false and puts the system's reason (strerror) into
// `error`.
class FileOps {
public:
    virtual ~FileOps() = default;
    // Removes a file; a file that does not exist counts as removed.
    virtual bool removeFile(const std::string& path, std::string& error);
    // Renames `from` to `to`, replacing `to` atomically.
    virtual bool renameFile(const std::string& from, const std::string& to, std::string& error);
};

} // namespace engine
