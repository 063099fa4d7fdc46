#include "zip/ZipWriter.h"

#include "zip/ZipFormat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace zip {

namespace {

// Writeback of the archive is started every this many bytes, so the final
// fsync finds little left to do.
constexpr std::uint64_t kWritebackStep = 32u << 20;

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

// The archive while it is being written. Any failure resets it to the empty
// archive on destruction unless commit() succeeded.
class ArchiveFile {
public:
    explicit ArchiveFile(std::string path) : m_path(std::move(path)) {}

    ~ArchiveFile()
    {
        if (m_fd < 0)
            return;
        const std::vector<std::uint8_t> empty = emptyArchive();
        const bool reset = ::ftruncate(m_fd, 0) == 0 && writeAllAt(m_fd, empty.data(), empty.size(), 0)
            && ::fsync(m_fd) == 0;
        const bool closed = ::close(m_fd) == 0;
        if (!reset || !closed)
            ::unlink(m_path.c_str());
    }

    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    std::string open()
    {
        m_fd = ::open(m_path.c_str(), O_WRONLY | O_CLOEXEC);
        return m_fd < 0 ? failure("Cannot open zip file", m_path, errno) : std::string();
    }

    int fd() const { return m_fd; }
    std::uint64_t size() const { return m_end; }

    bool append(const std::uint8_t* data, std::size_t length, std::string& error)
    {
        if (!writeAllAt(m_fd, data, length, m_end)) {
            error = failure("Cannot write zip file", m_path, errno);
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
            error = failure("Cannot write zip file", m_path, errno);
            return false;
        }
        return true;
    }

    // Flushes and closes; the archive stays as written only when this succeeds.
    std::string commit()
    {
        if (::ftruncate(m_fd, static_cast<off_t>(m_end)) != 0 || ::fsync(m_fd) != 0)
            return failure("Cannot flush zip file", m_path, errno);
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            const int error = errno;
            writeEmpty();
            return failure("Cannot close zip file", m_path, error);
        }
        syncFolder();
        return {};
    }

    // Cuts the file to the empty archive, for failures found after commit().
    void writeEmpty()
    {
        const std::vector<std::uint8_t> empty = emptyArchive();
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        bool ok = fd >= 0 && writeAllAt(fd, empty.data(), empty.size(), 0) && ::fsync(fd) == 0;
        if (fd >= 0 && ::close(fd) != 0)
            ok = false;
        if (!ok)
            ::unlink(m_path.c_str());
    }

private:
    void syncFolder()
    {
        std::filesystem::path folder = std::filesystem::path(m_path).parent_path();
        if (folder.empty())
            folder = ".";
        const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
    }

    std::string m_path;
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

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool unchanged(const struct stat& before, const struct stat& after)
{
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec
        && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
}

std::string writeEmptyArchive(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return failure("Cannot create zip file", path, errno);
    const std::vector<std::uint8_t> empty = emptyArchive();
    const bool written = writeAllAt(fd, empty.data(), empty.size(), 0);
    const int writeError = errno;
    if (::close(fd) != 0 && written)
        return failure("Cannot write zip file", path, errno);
    return written ? std::string() : failure("Cannot write zip file", path, writeError);
}

} // namespace

DeflateOptions deflateOptionsFor(Level level)
{
    // ISA-L's level 3 is the fastest that stays within a few percent of
    // zlib's level 6 on backup data; the smaller blocks help its ratio.
    DeflateOptions options;
    options.codec = level == Level::Smallest ? Codec::ZlibLevel6 : Codec::IsalLevel3;
    options.blockSize = level == Level::Smallest ? 512 * 1024 : 256 * 1024;
    return options;
}

bool WriteEmptyZip(const std::string& path)
{
    return writeEmptyArchive(path).empty();
}

namespace {

std::string writeArchive(const std::string& source, const std::string& archive, const DeflateOptions& options,
                         const ProgressFn& progress)
{
    struct stat sourceStat {};
    struct stat archiveStat {};
    if (::stat(source.c_str(), &sourceStat) == 0 && ::stat(archive.c_str(), &archiveStat) == 0
        && sameFile(sourceStat, archiveStat))
        return "Cannot create zip file " + quoted(archive) + ": it is the file to be compressed";

    if (std::string error = writeEmptyArchive(archive); !error.empty())
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
    entry.fastDeflate = options.codec == Codec::IsalLevel1 || options.codec == Codec::IsalLevel2
        || options.codec == Codec::IsalLevel3;

    ArchiveFile out(archive);
    if (std::string error = out.open(); !error.empty())
        return error;
    // The archive is no more readable than the backup it holds.
    ::fchmod(out.fd(), sourceStat.st_mode & 0777);

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
    std::string writeError;
    auto sink = [&](const std::uint8_t* data, std::size_t length, std::string& sinkError) {
        const bool ok = out.append(data, length, writeError);
        sinkError = writeError;
        return ok;
    };
    const DeflateResult deflated = deflateFile(src.fd(), total, sink, options, onProgress);
    if (!writeError.empty())
        return writeError;
    if (!deflated.ok())
        return "Cannot compress " + quoted(source) + ": " + deflated.error;

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

    if (error = out.commit(); !error.empty())
        return error;
    if (progress && total == 0)
        progress(100);
    return {};
}

} // namespace

std::string writeSingleEntryZip(const std::string& source, const std::string& archive, const DeflateOptions& options,
                                const ProgressFn& progress)
{
    try {
        return writeArchive(source, archive, options, progress);
    } catch (const std::exception& e) {
        return "Cannot create zip file " + quoted(archive) + ": " + e.what();
    }
}

} // namespace zip
