#include "config/CachedProfile.h"

#include <sys/stat.h>

namespace config {

CachedProfile::CachedProfile(std::string path)
    : m_path(std::move(path))
{
}

std::shared_ptr<const ProfileFile> CachedProfile::current(std::string* error)
{
    Identity identity;
    struct stat status {};
    if (::stat(m_path.c_str(), &status) == 0) {
        identity = {status.st_dev, status.st_ino, status.st_size,
                    static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec};
    }
    std::lock_guard lock(m_mutex);
    if (m_known && identity == m_identity && m_profile)
        return m_profile;
    auto profile = std::make_shared<ProfileFile>();
    if (ProfileFile::load(m_path, *profile, error) == ProfileFile::LoadStatus::Failed) {
        m_known = false;
        return nullptr;
    }
    m_identity = identity;
    m_known = true;
    m_profile = std::move(profile);
    return m_profile;
}

} // namespace config
