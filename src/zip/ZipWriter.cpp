#include "zip/ZipWriter.h"

#include "zip/ZipFormat.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace zip {

namespace {

// Writeback of the archive is started every this many bytes, so the final
// fsync finds little left to do.
constexpr std::uint64_t kWritebackStep = 32u << 20;
// Temporary names are "." + the archive's name (at most this long) + "." +
// six letters or digits.
constexpr std::size_t kMaxNameInTempName = 200;
constexpr std::size_t kTempSuffixLength = 6;

std::string quoted(const std::string& path)
{
    return "'" + path + "'";
}

std::string failure(const std::string& what, const std::string& path, int error)
{
    return what + " " + quoted(path) + ": " + std::strerror(error);
}

bool writeAllAt(int fd, const std::uint8_t* data, std::size_t length, std::uint64_t offset)
{
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

std::string folderOf(const std::string& path)
{
    const std::string folder = std::filesystem::path(path).parent_path().string();
    return folder.empty() ? "." : folder;
}

std::string tempPrefixFor(const std::string& archive)
{
    const std::string name = std::filesystem::path(archive).filename().string();
    return "." + name.substr(0, kMaxNameInTempName) + ".";
}

std::string randomSuffix()
{
    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t z = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())
        ^ (static_cast<std::uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    std::string suffix;
    for (std::size_t i = 0; i < kTempSuffixLength; ++i, z /= 62)
        suffix += kChars[z % 62];
    return suffix;
}

// Removes temporary files of `archive` that no process holds any more: ones
// left by a process killed between naming its file and the final rename, or
// by one on a file system without unnamed files.
void removeAbandonedTempFiles(const std::string& archive)
{
    const std::string folder = folderOf(archive);
    const std::string prefix = tempPrefixFor(archive);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() != prefix.size() + kTempSuffixLength || name.compare(0, prefix.size(), prefix) != 0
            || !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                            [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
            continue;
        const std::string path = folder + "/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.c_str());
        ::close(fd);
    }
    ::closedir(dir);
}

// The archive while it is written: an unnamed file in the archive's folder
// (O_TMPFILE), or, where the file system has none, a named temporary file
// beside the archive. The file is locked (flock) for as long as it is open,
// so that removeAbandonedTempFiles() leaves it alone. commit() puts it in
// place under the archive's name in one rename; until then a file of that
// name is untouched, and the destructor removes whatever was written.
class ArchiveFile {
public:
    ArchiveFile(std::string archive, TempFile temp) : m_archive(std::move(archive)), m_temp(temp) {}

    ~ArchiveFile()
    {
        if (m_fd < 0)
            return;
        if (!m_tempPath.empty())
            ::unlink(m_tempPath.c_str());
        ::close(m_fd);
    }

    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    // Creates the file with permissions `mode` (umask aside).
    std::string create(mode_t mode)
    {
        removeAbandonedTempFiles(m_archive);
        const std::string folder = folderOf(m_archive);
        if (m_temp == TempFile::Unnamed) {
            m_fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
            // Older kernels report the missing O_TMPFILE as EISDIR.
            if (m_fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
                return failure("Cannot create zip file", m_archive, errno);
        }
        if (m_fd < 0) {
            std::string pattern = folder + "/" + tempPrefixFor(m_archive) + std::string(kTempSuffixLength, 'X');
            m_fd = ::mkostemp(pattern.data(), O_CLOEXEC);
            if (m_fd < 0)
                return failure("Cannot create zip file", m_archive, errno);
            m_tempPath = pattern;
        }
        if (::flock(m_fd, LOCK_EX) != 0 || ::fchmod(m_fd, mode) != 0)
            return failure("Cannot create zip file", m_archive, errno);
        return {};
    }

    int fd() const { return m_fd; }
    std::uint64_t size() const { return m_end; }

    bool append(const std::uint8_t* data, std::size_t length, std::string& error)
    {
        if (!writeAllAt(m_fd, data, length, m_end)) {
            error = failure("Cannot write zip file", m_archive, errno);
            return false;
        }
        m_end += length;
        if (m_end - m_synced >= kWritebackStep) {
            ::sync_file_range(m_fd, static_cast<off_t>(m_synced), static_cast<off_t>(m_end - m_synced),
                              SYNC_FILE_RANGE_WRITE);
            m_synced = m_end;
        }
        return true;
    }

    bool patch(const std::uint8_t* data, std::size_t length, std::uint64_t offset, std::string& error)
    {
        if (!writeAllAt(m_fd, data, length, offset)) {
            error = failure("Cannot write zip file", m_archive, errno);
            return false;
        }
        return true;
    }

    // Flushes the file to disk, renames it to the archive's name and flushes
    // the folder. On failure nothing is left under either name.
    std::string commit()
    {
        if (::fsync(m_fd) != 0)
            return failure("Cannot flush zip file", m_archive, errno);
        if (m_tempPath.empty()) {
            if (std::string error = linkUnnamed(); !error.empty())
                return error;
        }
        if (::rename(m_tempPath.c_str(), m_archive.c_str()) != 0)
            return failure("Cannot create zip file", m_archive, errno);
        m_tempPath.clear();
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            const int error = errno;
            ::unlink(m_archive.c_str());
            return failure("Cannot close zip file", m_archive, error);
        }
        if (const int error = syncFolder(); error != 0) {
            ::unlink(m_archive.c_str());
            return failure("Cannot flush the folder of zip file", m_archive, error);
        }
        return {};
    }

private:
    // Gives the unnamed file a temporary name in its folder.
    std::string linkUnnamed()
    {
        const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
        const std::string prefix = folderOf(m_archive) + "/" + tempPrefixFor(m_archive);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string path = prefix + randomSuffix();
            int rc = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
            // Without /proc, linking by descriptor needs CAP_DAC_READ_SEARCH.
            if (rc != 0 && errno == ENOENT)
                rc = ::linkat(m_fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH);
            if (rc == 0) {
                m_tempPath = path;
                return {};
            }
            if (errno != EEXIST)
                return failure("Cannot create zip file", m_archive, errno);
        }
        return failure("Cannot create zip file", m_archive, EEXIST);
    }

    // 0 or the errno of a failed fsync. A folder that cannot be opened for
    // reading, or whose file system cannot sync folders, is not an error.
    int syncFolder() const
    {
        const int dfd = ::open(folderOf(m_archive).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd < 0)
            return 0;
        int error = 0;
        if (::fsync(dfd) != 0 && errno != EINVAL)
            error = errno;
        ::close(dfd);
        return error;
    }

    std::string m_archive;
    TempFile m_temp;
    std::string m_tempPath; // empty while the file has no name
    int m_fd = -1;
    std::uint64_t m_end = 0;
    std::uint64_t m_synced = 0;
};

class SourceFile {
public:
    ~SourceFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int fd() const { return m_fd; }
    int open(const std::string& path)
    {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        return m_fd;
    }

private:
    int m_fd = -1;
};

DeflateSpeed deflateSpeed(Codec codec)
{
    // zlib's and libdeflate's levels follow the classic scale; ISA-L's are all
    // fast ones.
    if (codec.engine == Engine::Isal || codec.level <= 1)
        return DeflateSpeed::SuperFast;
    if (codec.level == 2)
        return DeflateSpeed::Fast;
    return codec.level >= 8 ? DeflateSpeed::Maximum : DeflateSpeed::Normal;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool unchanged(const struct stat& before, const struct stat& after)
{
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec
        && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
}

// "Cannot create zip file '<archive>': <reason>" when the archive's name is
// taken by a folder, or by the file to be compressed (given its stat).
std::string checkArchiveName(const std::string& archive, const struct stat* source)
{
    struct stat st {};
    if (::stat(archive.c_str(), &st) != 0)
        return {};
    if (S_ISDIR(st.st_mode))
        return failure("Cannot create zip file", archive, EISDIR);
    if (source && sameFile(*source, st))
        return "Cannot create zip file " + quoted(archive) + ": it is the file to be compressed";
    return {};
}

} // namespace

DeflateOptions deflateOptionsFor(Level level)
{
    // Chosen on two generated 1 GiB backups against `zip -6` on two cores:
    // one whose pages look like a real database's data file (deflate -6
    // leaves 16 % of it), one that mixes empty, row and random pages (35 %).
    // BALANCED is libdeflate's level 6: 0.99 and 0.98 of `zip -6`'s size for
    // 0.40 and 0.33 of its CPU time, 4.75 and 5.5 times its speed. Of that
    // CPU time libdeflate takes 84 %, the check of every block 9.5 %, reading
    // and writing 5 %, the CRC and the page classification 1 %; level 5 is
    // 20 % faster but 1 % larger than `zip -6` on database pages. FAST is
    // level 3: 1.05 and 1.01 of the size, 6.4 times the speed. Level 2 is
    // 15 % faster on database pages for 1.075 of the size, levels 1 and
    // ISA-L's 3 faster still for 1.10 and 1.15: a real backup leaves a
    // little more than the generated one, so level 3 keeps room below 1.08.
    // SMALLEST is level 10, the first with near-optimal parsing: 0.94 and
    // 0.96 of the size for 4.7 and 1.9 times the CPU time. The lazy levels
    // between gain too little for their time (9: 0.965 at twice BALANCED's
    // time), and level 12 only 0.1 % more for 1.4 times level 10's. The
    // random pages of the mixed file, a fifth of it, are stored as they are
    // by every level, which keeps it above 0.95. libdeflate starts each
    // block afresh, yet from 512 KiB up the block size changes the size by
    // 0.2 % at most: smaller blocks leave memory for more threads, and 1 MiB
    // blocks took 14 % more CPU time.
    DeflateOptions options;
    switch (level) {
    case Level::Fast:
        options.codec = {Engine::Libdeflate, 3};
        options.blockSize = 512 * 1024;
        break;
    case Level::Balanced:
        options.codec = {Engine::Libdeflate, 6};
        options.blockSize = 512 * 1024;
        break;
    case Level::Smallest:
        options.codec = {Engine::Libdeflate, 10};
        options.blockSize = 512 * 1024;
        break;
    }
    return options;
}

bool WriteEmptyZip(const std::string& path)
{
    if (!checkArchiveName(path, nullptr).empty())
        return false;
    ArchiveFile out(path, TempFile::Unnamed);
    const std::vector<std::uint8_t> empty = emptyArchive();
    std::string error = out.create(0644);
    return error.empty() && out.append(empty.data(), empty.size(), error) && out.commit().empty();
}

namespace {

std::string writeArchive(const std::string& source, const std::string& archive, const DeflateOptions& options,
                         const ProgressFn& progress, std::stop_token stop, TempFile temp)
{
    struct stat sourceStat {};
    const bool sourceFound = ::stat(source.c_str(), &sourceStat) == 0;
    if (std::string error = checkArchiveName(archive, sourceFound ? &sourceStat : nullptr); !error.empty())
        return error;

    SourceFile src;
    if (src.open(source) < 0)
        return failure("Cannot open", source, errno);
    if (::fstat(src.fd(), &sourceStat) != 0)
        return failure("Cannot read", source, errno);
    if (!S_ISREG(sourceStat.st_mode))
        return "Cannot compress " + quoted(source) + ": not a regular file";

    ZipEntry entry;
    entry.name = std::filesystem::path(source).filename().string();
    if (entry.name.empty() || entry.name.size() > 0xFFFF)
        return "Cannot compress " + quoted(source) + ": unusable file name";
    entry.uncompressedSize = static_cast<std::uint64_t>(sourceStat.st_size);
    entry.unixMode = sourceStat.st_mode;
    entry.modified = sourceStat.st_mtim.tv_sec;
    entry.zip64 = needsZip64(entry.uncompressedSize);
    entry.speed = deflateSpeed(options.codec);

    // The archive is no more readable than the backup it holds.
    ArchiveFile out(archive, temp);
    if (std::string error = out.create(sourceStat.st_mode & 0777); !error.empty())
        return error;

    std::string error;
    const std::vector<std::uint8_t> header = localHeader(entry);
    if (!out.append(header.data(), header.size(), error))
        return error;

    ::posix_fadvise(src.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
    int lastPercent = -1;
    const std::uint64_t total = entry.uncompressedSize;
    auto onProgress = [&](std::uint64_t done) {
        if (!progress || total == 0)
            return;
        const int percent = static_cast<int>(done * 100 / total);
        if (percent > lastPercent) {
            lastPercent = percent;
            progress(percent);
        }
    };
    const std::string stopped = "Cannot compress " + quoted(source) + ": stopped";
    std::string writeError;
    auto sink = [&](const std::uint8_t* data, std::size_t length, std::string& sinkError) {
        if (stop.stop_requested())
            writeError = stopped;
        else
            out.append(data, length, writeError);
        sinkError = writeError;
        return writeError.empty();
    };
    const DeflateResult deflated = deflateFile(src.fd(), total, sink, options, onProgress);
    if (!writeError.empty())
        return writeError;
    if (!deflated.ok())
        return "Cannot compress " + quoted(source) + ": " + deflated.error;
    if (deflated.bytesIn != total)
        return "Cannot compress " + quoted(source) + ": the file changed while it was being compressed";

    entry.crc32 = deflated.crc32;
    entry.compressedSize = deflated.bytesOut;
    const std::uint64_t centralOffset = out.size();
    if (!entry.zip64 && (deflated.bytesOut >= kMax32 || centralOffset >= kMax32))
        return "Cannot compress " + quoted(source) + ": the archive outgrew its zip format";

    for (const HeaderPatch& p : localHeaderPatch(entry))
        if (!out.patch(p.bytes.data(), p.bytes.size(), p.offset, error))
            return error;
    const std::vector<std::uint8_t> trailer = archiveTrailer(entry, centralOffset);
    if (!out.append(trailer.data(), trailer.size(), error))
        return error;

    struct stat after {};
    if (::fstat(src.fd(), &after) != 0 || !unchanged(sourceStat, after))
        return "Cannot compress " + quoted(source) + ": the file changed while it was being compressed";

    if (stop.stop_requested())
        return stopped;
    if (error = out.commit(); !error.empty())
        return error;
    if (progress && total == 0)
        progress(100);
    return {};
}

} // namespace

std::string writeSingleEntryZip(const std::string& source, const std::string& archive, const DeflateOptions& options,
                                const ProgressFn& progress, std::stop_token stop, TempFile temp)
{
    try {
        return writeArchive(source, archive, options, progress, stop, temp);
    } catch (const std::exception& e) {
        return "Cannot create zip file " + quoted(archive) + ": " + e.what();
    }
}

} // namespace zip
