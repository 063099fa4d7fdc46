// Whole-process timings of the zip step on one generated backup-like file:
// `zip -6` beside our Fast and Smallest levels, each in a process of its own
// so that its peak resident memory and CPU time are its own.
//
//   corvella_zip_bench [--size-mib N] [--dir /tmp] [--explore] [--keep]
//
// --explore adds ISA-L levels 1 to 3 and several block sizes. The generated
// file and the archives are deleted at the end unless --keep is given.

#include "BackupLikeFile.h"
#include "log/Log.h"
#include "zip/ZipBackupFile.h"
#include "zip/ZipWriter.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Contender {
    std::string label;
    std::string mode; // "zip6", "fast", "smallest", or "isal<L>:<KiB>" / "zlib<L>:<KiB>"
};

struct Measurement {
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;
    long peakRssKiB = 0;
    std::uint64_t archiveBytes = 0;
    bool verified = false;
};

int runChild(const std::string& mode, const std::string& source, const std::string& archive)
{
    if (mode == "fast" || mode == "smallest") {
        logging::Log log(archive + ".log");
        const bool ok = zip::ZipBackupFile(source, archive, log,
                                           mode == "fast" ? zip::Level::Fast : zip::Level::Smallest);
        return ok ? 0 : 1;
    }
    zip::DeflateOptions options;
    const auto colon = mode.find(':');
    const std::string engine = mode.substr(0, colon);
    options.blockSize = std::stoul(mode.substr(colon + 1)) * 1024;
    if (engine == "isal1")
        options.codec = zip::Codec::IsalLevel1;
    else if (engine == "isal2")
        options.codec = zip::Codec::IsalLevel2;
    else if (engine == "isal3")
        options.codec = zip::Codec::IsalLevel3;
    else if (engine == "zlib9")
        options.codec = zip::Codec::ZlibLevel9;
    else
        options.codec = zip::Codec::ZlibLevel6;
    const std::string error = zip::writeSingleEntryZip(source, archive, options);
    if (!error.empty())
        std::fprintf(stderr, "%s\n", error.c_str());
    return error.empty() ? 0 : 1;
}

Measurement measure(const Contender& c, const std::string& source, const std::string& archive)
{
    std::filesystem::remove(archive);
    Measurement m;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return m;
    if (pid == 0) {
        if (c.mode == "zip6") {
            ::execlp("zip", "zip", "-6", "-q", "-j", archive.c_str(), source.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::execl("/proc/self/exe", "corvella_zip_bench", "--run", c.mode.c_str(), source.c_str(), archive.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.peakRssKiB = usage.ru_maxrss;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::error_code ec;
    m.archiveBytes = std::filesystem::file_size(archive, ec);
    const std::string test = "unzip -tqq '" + archive + "' >/dev/null 2>&1";
    m.verified = m.ok && std::system(test.c_str()) == 0;
    return m;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "--run")
        return runChild(args[1], args[2], args[3]);

    std::uint64_t sizeMiB = 2048;
    std::string dir = "/tmp";
    bool explore = false;
    bool keep = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--size-mib" && i + 1 < args.size())
            sizeMiB = std::stoull(args[++i]);
        else if (args[i] == "--dir" && i + 1 < args.size())
            dir = args[++i];
        else if (args[i] == "--explore")
            explore = true;
        else if (args[i] == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "usage: corvella_zip_bench [--size-mib N] [--dir D] [--explore] [--keep]\n");
            return 2;
        }
    }

    const std::string work = dir + "/corvella-zip-bench";
    std::filesystem::create_directories(work);
    const std::string source = work + "/Sales_20240101120000.Bak";
    const std::uint64_t size = sizeMiB << 20;
    std::error_code ec;
    if (std::filesystem::file_size(source, ec) != size) {
        std::printf("Generating %llu MiB backup-like file %s ...\n", static_cast<unsigned long long>(sizeMiB),
                    source.c_str());
        if (const std::string error = backuplike::writeFile(source, size); !error.empty()) {
            std::fprintf(stderr, "Cannot write %s: %s\n", source.c_str(), error.c_str());
            return 1;
        }
    }
    // Same starting point for everyone: the source in the page cache.
    std::system(("cat '" + source + "' > /dev/null").c_str());

    std::vector<Contender> contenders = {{"zip -6", "zip6"}, {"Fast", "fast"}, {"Smallest", "smallest"}};
    if (explore) {
        for (const char* engine : {"isal1", "isal2", "isal3"})
            for (int kib : {256, 512, 1024})
                contenders.push_back({std::string(engine) + " " + std::to_string(kib) + "K",
                                      std::string(engine) + ":" + std::to_string(kib)});
        contenders.push_back({"zlib9 512K", "zlib9:512"});
    }

    const unsigned cores = std::thread::hardware_concurrency();
    std::printf("\n%llu MiB source, %u cores\n\n", static_cast<unsigned long long>(sizeMiB), cores);
    std::printf("%-12s %9s %9s %12s %9s %10s %8s %6s %s\n", "contender", "seconds", "MB/s", "archive MB",
                "size/zip", "speed/zip", "RSS MiB", "CPU %", "unzip -t");
    std::printf("(CPU %%: user+system time over wall time; 100 = one core busy)\n");
    std::vector<Measurement> results;
    for (const Contender& c : contenders) {
        const std::string archive = work + "/" + c.mode.substr(0, c.mode.find(':')) + ".zip";
        const Measurement m = measure(c, source, archive);
        results.push_back(m);
        const Measurement& base = results.front();
        std::printf("%-12s %9.2f %9.1f %12.1f %9.3f %10.2f %8.1f %6.0f %s\n", c.label.c_str(), m.seconds,
                    static_cast<double>(size) / 1e6 / m.seconds, static_cast<double>(m.archiveBytes) / 1e6,
                    static_cast<double>(m.archiveBytes) / static_cast<double>(base.archiveBytes),
                    base.seconds / m.seconds, static_cast<double>(m.peakRssKiB) / 1024.0,
                    100.0 * m.cpuSeconds / m.seconds, m.verified ? "ok" : (m.ok ? "FAILED" : "not written"));
        std::fflush(stdout);
        if (!keep)
            std::filesystem::remove(archive);
        std::filesystem::remove(archive + ".log");
    }

    const Measurement& zip6 = results[0];
    const Measurement& fast = results[1];
    const Measurement& smallest = results[2];
    const bool speed = zip6.seconds / fast.seconds >= 5.0;
    const bool ratio = static_cast<double>(fast.archiveBytes) <= 1.08 * static_cast<double>(zip6.archiveBytes);
    const bool memory = fast.peakRssKiB <= 64 * 1024 && smallest.peakRssKiB <= 64 * 1024;
    const bool cpu = fast.cpuSeconds / fast.seconds >= 0.8 * cores;
    std::printf("\nFast >= 5x zip -6 throughput: %s\n", speed ? "yes" : "NO");
    std::printf("Fast archive <= 108%% of zip -6: %s\n", ratio ? "yes" : "NO");
    std::printf("Peak RSS <= 64 MiB: %s\n", memory ? "yes" : "NO");
    std::printf("Fast keeps all cores busy (>= 80%%): %s\n", cpu ? "yes" : "NO");

    if (!keep)
        std::filesystem::remove_all(work);
    return 0;
}
