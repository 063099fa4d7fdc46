#include "zip/ParallelDeflate.h"

#include <isa-l/crc.h>
#include <zlib.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace zip {

namespace {

constexpr std::size_t kWindow = 32 * 1024;
// Buffers of blocks and threads together stay below this.
constexpr std::size_t kMemoryBudget = 40u << 20;
constexpr std::size_t kMinBlockSize = 64 * 1024;
constexpr std::size_t kMaxBlockSize = 16u << 20;

std::size_t effectiveBlockSize(const DeflateOptions& o)
{
    return std::clamp(o.blockSize, kMinBlockSize, kMaxBlockSize);
}

unsigned usableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0)
            return static_cast<unsigned>(n);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

unsigned slotsFor(unsigned threads)
{
    return threads + std::max(4u, threads / 2);
}

std::size_t memoryFor(unsigned threads, std::size_t blockSize, Codec codec)
{
    const std::size_t perThread = BlockDeflater::engineMemory(codec);
    const std::size_t perSlot = kWindow + blockSize + BlockDeflater::outputBound(blockSize);
    return threads * perThread + slotsFor(threads) * perSlot;
}

struct Slot {
    std::vector<std::uint8_t> buffer; // dictionary window, then the block
    std::size_t dictionaryLength = 0;
    std::size_t length = 0;
    bool last = false;
    Bytes output;
    std::uint32_t crc = 0;
    std::string error;
    bool done = false; // guarded by Pipeline::m_mutex

    const std::uint8_t* data() const { return buffer.data() + kWindow; }
    std::uint8_t* data() { return buffer.data() + kWindow; }
};

// Reads `length` bytes unless the source ends first. Returns the count read,
// or -1 with errno set.
ssize_t readFully(int fd, std::uint8_t* to, std::size_t length)
{
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::read(fd, to + got, length - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

class Pipeline {
public:
    Pipeline(const DeflateOptions& options, unsigned threads)
        : m_options(options), m_blockSize(effectiveBlockSize(options)), m_threads(threads)
    {
    }

    ~Pipeline() { stopWorkers(); }

    std::string start()
    {
        try {
            m_slots.resize(slotsFor(m_threads));
            for (Slot& s : m_slots) {
                s.buffer.resize(kWindow + m_blockSize);
                s.output.reserve(BlockDeflater::outputBound(m_blockSize));
            }
            for (unsigned i = 0; i < m_threads; ++i)
                m_workers.emplace_back([this] { work(); });
        } catch (const std::bad_alloc&) {
            return "out of memory";
        } catch (const std::system_error& e) {
            if (m_workers.empty())
                return std::string("cannot start threads: ") + e.what();
        }
        return {};
    }

    DeflateResult run(int fd, std::uint64_t size, const DeflateSink& sink, const DeflateProgress& progress)
    {
        DeflateResult result;
        std::uint64_t readOffset = 0;
        bool allRead = false;
        std::size_t head = 0;
        std::size_t inFlight = 0;
        const Slot* previous = nullptr;

        for (;;) {
            while (!allRead && inFlight < m_slots.size()) {
                Slot& s = m_slots[(head + inFlight) % m_slots.size()];
                result.error = fill(fd, size, readOffset, previous, s);
                if (!result.error.empty())
                    return result;
                readOffset += s.length;
                allRead = s.last;
                previous = &s;
                ++inFlight;
                enqueue(s);
            }
            if (inFlight == 0)
                break;

            Slot& s = m_slots[head];
            waitDone(s);
            if (!s.error.empty()) {
                result.error = s.error;
                return result;
            }
            result.crc32 = static_cast<std::uint32_t>(
                crc32_combine(result.crc32, s.crc, static_cast<z_off_t>(s.length)));
            result.bytesIn += s.length;
            if (!sink(s.output.data(), s.output.size(), result.error)) {
                if (result.error.empty())
                    result.error = "write failed";
                return result;
            }
            result.bytesOut += s.output.size();
            if (progress)
                progress(result.bytesIn);
            head = (head + 1) % m_slots.size();
            --inFlight;
        }
        return result;
    }

    void stopWorkers()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            m_queue.clear();
        }
        m_workReady.notify_all();
        for (std::thread& t : m_workers)
            t.join();
        m_workers.clear();
    }

private:
    std::string fill(int fd, std::uint64_t size, std::uint64_t offset, const Slot* previous, Slot& s)
    {
        s.dictionaryLength = 0;
        if (previous) {
            s.dictionaryLength = std::min(kWindow, previous->length);
            std::memcpy(s.data() - s.dictionaryLength, previous->data() + previous->length - s.dictionaryLength,
                        s.dictionaryLength);
        }
        const std::uint64_t remaining = size - offset;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, m_blockSize));
        const ssize_t got = readFully(fd, s.data(), want);
        if (got < 0)
            return std::string("read error: ") + std::strerror(errno);
        if (static_cast<std::size_t>(got) != want)
            return "the file became shorter while it was being compressed";
        s.length = want;
        s.last = want == remaining;
        if (s.last) {
            std::uint8_t probe;
            const ssize_t more = readFully(fd, &probe, 1);
            if (more < 0)
                return std::string("read error: ") + std::strerror(errno);
            if (more > 0)
                return "the file became longer while it was being compressed";
        }
        s.error.clear();
        return {};
    }

    void enqueue(Slot& s)
    {
        {
            std::lock_guard lock(m_mutex);
            s.done = false;
            m_queue.push_back(&s);
        }
        m_workReady.notify_one();
    }

    void waitDone(Slot& s)
    {
        std::unique_lock lock(m_mutex);
        m_blockDone.wait(lock, [&] { return s.done; });
    }

    void work()
    {
        BlockDeflater deflater(m_options.codec, m_blockSize);
        for (;;) {
            Slot* s = nullptr;
            {
                std::unique_lock lock(m_mutex);
                m_workReady.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
                if (m_stopping)
                    return;
                s = m_queue.front();
                m_queue.pop_front();
            }
            s->error = deflater.compress(s->data(), s->length, s->dictionaryLength, s->last, s->output);
            if (s->error.empty())
                s->crc = crc32_gzip_refl(0, s->data(), s->length);
            {
                std::lock_guard lock(m_mutex);
                s->done = true;
            }
            m_blockDone.notify_all();
        }
    }

    DeflateOptions m_options;
    std::size_t m_blockSize;
    unsigned m_threads;
    std::vector<Slot> m_slots;
    std::vector<std::thread> m_workers;

    std::mutex m_mutex; // guards m_queue, m_stopping and every Slot::done
    std::condition_variable m_workReady;
    std::condition_variable m_blockDone;
    std::deque<Slot*> m_queue;
    bool m_stopping = false;
};

} // namespace

unsigned deflateThreadCount(const DeflateOptions& options)
{
    const std::size_t blockSize = effectiveBlockSize(options);
    unsigned threads = options.threads > 0 ? options.threads : usableCores();
    while (threads > 1 && memoryFor(threads, blockSize, options.codec) > kMemoryBudget)
        --threads;
    return threads;
}

DeflateResult deflateFile(int sourceFd, std::uint64_t size, const DeflateSink& sink, const DeflateOptions& options,
                          const DeflateProgress& progress)
{
    Pipeline pipeline(options, deflateThreadCount(options));
    DeflateResult result;
    result.error = pipeline.start();
    if (result.error.empty())
        result = pipeline.run(sourceFd, size, sink, progress);
    pipeline.stopWorkers();
    return result;
}

} // namespace zip
