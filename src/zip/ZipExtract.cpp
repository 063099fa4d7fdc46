#include "zip/ZipExtract.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zip {

namespace {

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflate = 8;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kCentralFixedSize = 46;
constexpr std::size_t kLocalFixedSize = 30;
constexpr std::size_t kChunk = 1 << 20;

std::uint16_t U16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(U16(p)) | (static_cast<std::uint32_t>(U16(p + 2)) << 16);
}
std::uint64_t U64(const std::uint8_t* p)
{
    return static_cast<std::uint64_t>(U32(p)) | (static_cast<std::uint64_t>(U32(p + 4)) << 32);
}

// Reads exactly `size` bytes at `offset`.
bool ReadAt(int fd, std::uint64_t offset, std::uint8_t* buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

struct Entry {
    std::string name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t localHeaderOffset = 0;
};

class Reader {
public:
    Reader(int fd, std::uint64_t fileSize)
        : m_fd(fd)
        , m_fileSize(fileSize)
    {
    }

    // The archive's one entry from its central directory.
    bool entry(Entry& out, std::string& error)
    {
        const std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(m_fileSize, 0xFFFF + kEndSize));
        std::vector<std::uint8_t> tail(tailSize);
        if (tailSize < kEndSize || !ReadAt(m_fd, m_fileSize - tailSize, tail.data(), tailSize))
            return fail(error, "it is no zip archive");
        std::size_t end = std::string::npos;
        for (std::size_t at = tailSize - kEndSize + 1; at-- > 0;) {
            if (U32(&tail[at]) == kEndSignature && at + kEndSize + U16(&tail[at + 20]) == tailSize) {
                end = at;
                break;
            }
        }
        if (end == std::string::npos)
            return fail(error, "it is no zip archive");
        const std::uint8_t* record = &tail[end];
        std::uint64_t entries = U16(record + 10);
        std::uint64_t centralSize = U32(record + 12);
        std::uint64_t centralOffset = U32(record + 16);
        if (entries == 0xFFFF || centralSize == 0xFFFFFFFFu || centralOffset == 0xFFFFFFFFu) {
            const std::uint64_t endOffset = m_fileSize - tailSize + end;
            std::uint8_t locator[kLocatorSize];
            std::uint8_t zip64End[56];
            if (endOffset < kLocatorSize || !ReadAt(m_fd, endOffset - kLocatorSize, locator, kLocatorSize)
                || U32(locator) != kZip64LocatorSignature
                || !ReadAt(m_fd, U64(locator + 8), zip64End, sizeof zip64End)
                || U32(zip64End) != kZip64EndSignature)
                return fail(error, "its zip64 end record is missing");
            entries = U64(zip64End + 32);
            centralSize = U64(zip64End + 40);
            centralOffset = U64(zip64End + 48);
        }
        if (entries != 1)
            return fail(error, "it holds " + std::to_string(entries) + " entries, a backup archive holds one");
        if (centralSize < kCentralFixedSize || centralSize > (1u << 20) || centralOffset + centralSize > m_fileSize)
            return fail(error, "its central directory is damaged");
        std::vector<std::uint8_t> central(static_cast<std::size_t>(centralSize));
        if (!ReadAt(m_fd, centralOffset, central.data(), central.size())
            || U32(central.data()) != kCentralHeaderSignature)
            return fail(error, "its central directory is damaged");
        const std::uint8_t* c = central.data();
        out.flags = U16(c + 8);
        out.method = U16(c + 10);
        out.crc = U32(c + 16);
        out.compressedSize = U32(c + 20);
        out.size = U32(c + 24);
        const std::size_t nameLength = U16(c + 28);
        const std::size_t extraLength = U16(c + 30);
        out.localHeaderOffset = U32(c + 42);
        if (kCentralFixedSize + nameLength + extraLength > central.size())
            return fail(error, "its central directory is damaged");
        out.name.assign(reinterpret_cast<const char*>(c + kCentralFixedSize), nameLength);
        // Zip64: the fields that hold all ones are in the extra field, in this order.
        const std::uint8_t* extra = c + kCentralFixedSize + nameLength;
        for (std::size_t at = 0; at + 4 <= extraLength;) {
            const std::uint16_t id = U16(extra + at);
            const std::size_t length = U16(extra + at + 2);
            if (at + 4 + length > extraLength)
                break;
            if (id == kZip64ExtraId) {
                const std::uint8_t* field = extra + at + 4;
                std::size_t left = length;
                for (std::uint64_t* value : {&out.size, &out.compressedSize, &out.localHeaderOffset}) {
                    if (*value != 0xFFFFFFFFu)
                        continue;
                    if (left < 8)
                        return fail(error, "its zip64 sizes are damaged");
                    *value = U64(field);
                    field += 8;
                    left -= 8;
                }
            }
            at += 4 + length;
        }
        if (out.flags & kFlagEncrypted)
            return fail(error, "its entry is encrypted");
        if (out.method != kMethodStored && out.method != kMethodDeflate)
            return fail(error, "its entry is compressed with method " + std::to_string(out.method)
                                   + " (only stored and deflate are read)");
        if (!out.name.empty() && out.name.back() == '/')
            return fail(error, "its entry is a folder");
        return true;
    }

    // Where the entry's data start, behind its local header.
    bool dataOffset(const Entry& entry, std::uint64_t& offset, std::string& error)
    {
        std::uint8_t local[kLocalFixedSize];
        if (!ReadAt(m_fd, entry.localHeaderOffset, local, sizeof local) || U32(local) != kLocalHeaderSignature)
            return fail(error, "its local header is damaged");
        offset = entry.localHeaderOffset + kLocalFixedSize + U16(local + 26) + U16(local + 28);
        if (offset + entry.compressedSize > m_fileSize)
            return fail(error, "it is shorter than its directory says");
        return true;
    }

private:
    static bool fail(std::string& error, const std::string& why)
    {
        error = why;
        return false;
    }

    int m_fd;
    std::uint64_t m_fileSize;
};

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

} // namespace

bool ExtractSingleEntry(const std::string& archive, const std::string& target, std::string& error,
                        std::stop_token stop, std::uint64_t* bytesWritten)
{
    const auto fail = [&](const std::string& why) {
        error = "Cannot unpack '" + archive + "': " + why;
        return false;
    };
    Fd in(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st{};
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0)
        return fail(std::strerror(errno));
    Reader reader(in.get(), static_cast<std::uint64_t>(st.st_size));
    Entry entry;
    std::uint64_t offset = 0;
    std::string why;
    if (!reader.entry(entry, why) || !reader.dataOffset(entry, offset, why))
        return fail(why);

    Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (out.get() < 0)
        return fail("cannot create '" + target + "': " + std::strerror(errno));
    ::fchmod(out.get(), 0640);
    bool ok = false;
    {
        std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[kChunk]);
        std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[kChunk]);
        auto state = std::make_unique<inflate_state>();
        isal_inflate_init(state.get());
        std::uint64_t read = 0;
        std::uint64_t written = 0;
        std::uint32_t crc = 0;
        bool finished = false;
        const auto emit = [&](const std::uint8_t* data, std::size_t size) {
            crc = crc32_gzip_refl(crc, data, size);
            written += size;
            if (!WriteAll(out.get(), data, size)) {
                why = "cannot write '" + target + "': " + std::strerror(errno);
                return false;
            }
            return true;
        };
        for (;;) {
            if (stop.stop_requested()) {
                why = "stopped because the program is ending";
                break;
            }
            const std::size_t want
                = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, entry.compressedSize - read));
            if (want == 0 && (entry.method == kMethodStored || finished))
                break;
            errno = 0;
            if (want > 0 && !ReadAt(in.get(), offset + read, input.get(), want)) {
                why = std::string("cannot read it: ") + (errno ? std::strerror(errno) : "it ends early");
                break;
            }
            read += want;
            if (entry.method == kMethodStored) {
                if (!emit(input.get(), want))
                    break;
                continue;
            }
            state->next_in = input.get();
            state->avail_in = static_cast<std::uint32_t>(want);
            bool failed = false;
            do {
                state->next_out = output.get();
                state->avail_out = static_cast<std::uint32_t>(kChunk);
                const int rc = isal_inflate(state.get());
                if (rc < 0) {
                    why = "its compressed data are damaged";
                    failed = true;
                    break;
                }
                const std::size_t produced = kChunk - state->avail_out;
                if (produced > 0 && !emit(output.get(), produced)) {
                    failed = true;
                    break;
                }
                finished = state->block_state == ISAL_BLOCK_FINISH;
            } while (!finished && (state->avail_in > 0 || state->avail_out == 0));
            if (failed)
                break;
            if (want == 0 && !finished) {
                why = "its compressed data end early";
                break;
            }
        }
        if (why.empty()) {
            if (written != entry.size)
                why = "its entry holds " + std::to_string(written) + " bytes, its directory says "
                    + std::to_string(entry.size);
            else if (crc != entry.crc)
                why = "its entry fails its CRC-32 check";
            else
                ok = true;
        }
        if (bytesWritten)
            *bytesWritten = written;
    }
    if (ok && ::close(out.release()) != 0) {
        why = "cannot write '" + target + "': " + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        ::unlink(target.c_str());
        return fail(why);
    }
    return true;
}

} // namespace zip
