// Whole-process timings of the zip step on one generated backup-like file:
// `zip -6`, `pigz -6` (parallel gzip, a speed reference only: it writes no
// zip) and `7z a -tzip -mx=5 -mmt=on` beside our three levels, each in a
// process of its own so that its peak resident memory and CPU time are its
// own. Every output is tested with its reader afterwards.
//
//   corvella_zip_bench [--size-mib N] [--dir /tmp] [--runs N] [--try LIST] [--levels-only] [--keep]
//
// --try adds contenders by engine, level and block size in KiB, e.g.
// "isal3:256,zlib6:512,libdeflate4:1024"; --levels-only leaves out pigz and
// 7z. The generated file and the outputs are deleted at the end unless --keep
// is given; a kept file of the right size is reused by the next start.

#include "BackupLikeFile.h"
#include "log/Log.h"
#include "zip/ZipBackupFile.h"
#include "zip/ZipWriter.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Contender {
    std::string label;
    std::string mode; // zip6, pigz6, 7z5, fast, balanced, smallest, or <engine><level>:<KiB>
};

struct Measurement {
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;
    double otherCpuSeconds = 0; // used meanwhile by everything else on the machine, steal time included
    long peakRssKiB = 0;
    std::uint64_t outputBytes = 0;
    bool verified = false;
};

std::optional<zip::Level> levelOf(const std::string& mode)
{
    if (mode == "fast")
        return zip::Level::Fast;
    if (mode == "balanced")
        return zip::Level::Balanced;
    if (mode == "smallest")
        return zip::Level::Smallest;
    return std::nullopt;
}

std::optional<zip::DeflateOptions> optionsOf(const std::string& mode)
{
    const auto colon = mode.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    const std::string engine = mode.substr(0, colon);
    const auto digits = engine.find_first_of("0123456789");
    if (digits == std::string::npos)
        return std::nullopt;
    const std::string name = engine.substr(0, digits);
    zip::DeflateOptions options;
    options.codec.level = std::stoi(engine.substr(digits));
    options.blockSize = std::stoul(mode.substr(colon + 1)) * 1024;
    if (name == "isal")
        options.codec.engine = zip::Engine::Isal;
    else if (name == "zlib")
        options.codec.engine = zip::Engine::Zlib;
    else if (name == "libdeflate")
        options.codec.engine = zip::Engine::Libdeflate;
    else
        return std::nullopt;
    return options;
}

int runChild(const std::string& mode, const std::string& source, const std::string& archive)
{
    if (const auto level = levelOf(mode)) {
        logging::Log log(archive + ".log");
        return zip::ZipBackupFile(source, archive, log, *level) ? 0 : 1;
    }
    const auto options = optionsOf(mode);
    if (!options) {
        std::fprintf(stderr, "unknown contender %s\n", mode.c_str());
        return 2;
    }
    const std::string error = zip::writeSingleEntryZip(source, archive, *options);
    if (!error.empty())
        std::fprintf(stderr, "%s\n", error.c_str());
    return error.empty() ? 0 : 1;
}

void execContender(const std::string& mode, const std::string& source, const std::string& output)
{
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (mode == "zip6") {
        ::execlp("zip", "zip", "-6", "-q", "-j", output.c_str(), source.c_str(), static_cast<char*>(nullptr));
    } else if (mode == "pigz6") {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::execlp("pigz", "pigz", "-6", "-c", source.c_str(), static_cast<char*>(nullptr));
    } else if (mode == "7z5") {
        ::dup2(devNull, 1);
        ::execlp("7z", "7z", "a", "-tzip", "-mx=5", "-mmt=on", output.c_str(), source.c_str(),
                 static_cast<char*>(nullptr));
    } else {
        ::execl("/proc/self/exe", "corvella_zip_bench", "--run", mode.c_str(), source.c_str(), output.c_str(),
                static_cast<char*>(nullptr));
    }
    ::_exit(127);
}

std::string outputName(const std::string& mode)
{
    std::string name = mode;
    for (char& c : name)
        if (c == ':')
            c = '_';
    return name + (mode == "pigz6" ? ".gz" : ".zip");
}

// CPU seconds the machine has spent busy (all cores, steal time included),
// from /proc/stat.
double machineBusySeconds()
{
    std::FILE* f = std::fopen("/proc/stat", "r");
    if (!f)
        return 0;
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    const int n = std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait,
                              &irq, &softirq, &steal);
    std::fclose(f);
    if (n != 8)
        return 0;
    return static_cast<double>(user + nice + system + irq + softirq + steal) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

Measurement measure(const Contender& c, const std::string& source, const std::string& output)
{
    std::filesystem::remove(output);
    Measurement m;
    const double busyBefore = machineBusySeconds();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return m;
    if (pid == 0)
        execContender(c.mode, source, output);
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.otherCpuSeconds = std::max(0.0, machineBusySeconds() - busyBefore - m.cpuSeconds);
    m.peakRssKiB = usage.ru_maxrss;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::error_code ec;
    m.outputBytes = std::filesystem::file_size(output, ec);
    const std::string test = (c.mode == "pigz6" ? "pigz -t '" : "unzip -tqq '") + output + "' >/dev/null 2>&1";
    m.verified = m.ok && std::system(test.c_str()) == 0;
    return m;
}

struct Target {
    const char* label;
    const char* mode;
    double minSpeedup;
    double maxSizeRatio;
};

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "--run")
        return runChild(args[1], args[2], args[3]);

    std::uint64_t sizeMiB = 2048;
    std::string dir = "/tmp";
    int runs = 1;
    bool keep = false;
    std::vector<Contender> contenders = {{"zip -6", "zip6"},         {"pigz -6 (gz)", "pigz6"},
                                         {"7z -mx=5", "7z5"},        {"FAST", "fast"},
                                         {"BALANCED", "balanced"},   {"SMALLEST", "smallest"}};
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--size-mib" && i + 1 < args.size()) {
            sizeMiB = std::stoull(args[++i]);
        } else if (args[i] == "--dir" && i + 1 < args.size()) {
            dir = args[++i];
        } else if (args[i] == "--runs" && i + 1 < args.size()) {
            runs = std::max(1, std::stoi(args[++i]));
        } else if (args[i] == "--try" && i + 1 < args.size()) {
            std::stringstream list(args[++i]);
            for (std::string mode; std::getline(list, mode, ',');) {
                if (!optionsOf(mode)) {
                    std::fprintf(stderr, "unknown contender %s\n", mode.c_str());
                    return 2;
                }
                contenders.push_back({mode, mode});
            }
        } else if (args[i] == "--levels-only") {
            std::erase_if(contenders, [](const Contender& c) { return c.mode == "pigz6" || c.mode == "7z5"; });
        } else if (args[i] == "--keep") {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: corvella_zip_bench [--size-mib N] [--dir D] [--runs N] [--try LIST] "
                                 "[--levels-only] [--keep]\n");
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

    const unsigned cores = std::thread::hardware_concurrency();
    const Target targets[] = {{"FAST", "fast", 6.0, 1.07}, {"BALANCED", "balanced", 4.0, 1.0},
                              {"SMALLEST", "smallest", 2.0, 0.97}};
    for (int run = 1; run <= runs; ++run) {
        // Same starting point for everyone: the source in the page cache.
        std::system(("cat '" + source + "' > /dev/null").c_str());
        std::printf("\nRun %d of %d: %llu MiB source, %u cores, load average at start:", run, runs,
                    static_cast<unsigned long long>(sizeMiB), cores);
        double load[3] = {};
        if (::getloadavg(load, 3) == 3)
            std::printf(" %.2f %.2f %.2f", load[0], load[1], load[2]);
        std::printf("\n\n%-22s %8s %8s %11s %9s %9s %8s %7s %6s %8s %s\n", "contender", "seconds", "MB/s",
                    "output MB", "size/zip", "speed/zip", "RSS MiB", "CPU s", "CPU %", "others %", "test");
        std::vector<Measurement> results;
        for (const Contender& c : contenders) {
            const std::string output = work + "/" + outputName(c.mode);
            const Measurement m = measure(c, source, output);
            results.push_back(m);
            const Measurement& base = results.front();
            std::printf("%-22s %8.2f %8.1f %11.1f %9.3f %9.2f %8.1f %7.1f %6.0f %8.0f %s\n", c.label.c_str(),
                        m.seconds, static_cast<double>(size) / 1e6 / m.seconds,
                        static_cast<double>(m.outputBytes) / 1e6,
                        static_cast<double>(m.outputBytes) / static_cast<double>(base.outputBytes),
                        base.seconds / m.seconds, static_cast<double>(m.peakRssKiB) / 1024.0, m.cpuSeconds,
                        100.0 * m.cpuSeconds / m.seconds, 100.0 * m.otherCpuSeconds / m.seconds,
                        m.verified ? "ok" : (m.ok ? "FAILED" : "not written"));
            std::fflush(stdout);
            if (!keep)
                std::filesystem::remove(output);
            std::filesystem::remove(output + ".log");
        }
        std::printf("(CPU s: user+system seconds; CPU %%: those over wall time, 100 = one core busy; others %%: the\n"
                    " same for the rest of the machine meanwhile, steal time included: above a few %%, the timing is\n"
                    " disturbed)\n\n");

        const Measurement& zip6 = results[0];
        for (const Target& t : targets) {
            const auto at = std::find_if(contenders.begin(), contenders.end(),
                                         [&](const Contender& c) { return c.mode == t.mode; });
            const Measurement& m = results[static_cast<std::size_t>(at - contenders.begin())];
            const double speedup = zip6.seconds / m.seconds;
            const double ratio = static_cast<double>(m.outputBytes) / static_cast<double>(zip6.outputBytes);
            std::printf("%-9s >= %.0fx zip -6 speed: %-4s  size <= %.2f of zip -6: %-4s  peak RSS <= 64 MiB: %s\n",
                        t.label, t.minSpeedup, speedup >= t.minSpeedup ? "yes" : "NO",
                        t.maxSizeRatio, ratio <= t.maxSizeRatio ? "yes" : "NO",
                        m.peakRssKiB <= 64 * 1024 ? "yes" : "NO");
        }
    }

    if (!keep)
        std::filesystem::remove_all(work);
    return 0;
}
