#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace fakes {

// While it lives, the process has no free file descriptor, as one that has
// used up its limit (ulimit -n): the soft limit is lowered to the lowest free
// descriptor number, which a new descriptor would take. The destructor puts
// the limit back. `lowered()` is false when the limit could not be changed.
class NoFreeDescriptors {
public:
    NoFreeDescriptors()
    {
        if (::getrlimit(RLIMIT_NOFILE, &m_saved) != 0)
            return;
        const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (lowestFree < 0)
            return;
        ::close(lowestFree);
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
        m_lowered = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~NoFreeDescriptors()
    {
        if (m_lowered)
            ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    NoFreeDescriptors(const NoFreeDescriptors&) = delete;
    NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;

    bool lowered() const { return m_lowered; }

private:
    rlimit m_saved {};
    bool m_lowered = false;
};

} // namespace fakes
