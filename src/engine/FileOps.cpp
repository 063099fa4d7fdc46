#include "engine/FileOps.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace engine {

bool FileOps::removeFile(const std::string& path, std::string& error)
{
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return true;
    error = std::strerror(errno);
    return false;
}

bool FileOps::renameFile(const std::string& from, const std::string& to, std::string& error)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    error = std::strerror(errno);
    return false;
}

} // namespace engine
