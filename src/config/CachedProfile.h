#pragma once

#include "config/ProfileFile.h"

#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace config {

// A settings file read again only when it has changed: its identity (device
// and inode, which every atomic save renews), size and modification time are
// checked at each call, so a value wanted for every connection costs one
// stat however long the database list is. Thread-safe; blocks on disk I/O.
class CachedProfile {
public:
    explicit CachedProfile(std::string path);

    // The file's current content (an empty profile when it does not exist);
    // null, with the reason in `error`, when it exists but cannot be read.
    std::shared_ptr<const ProfileFile> current(std::string* error = nullptr);

    const std::string& path() const { return m_path; }

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        long long modifiedNs = -1;
        bool operator==(const Identity&) const = default;
    };

    const std::string m_path;
    std::mutex m_mutex; // guards the members below
    bool m_known = false;
    Identity m_identity;
    std::shared_ptr<const ProfileFile> m_profile;
};

} // namespace config
