// Whole-process timings of the zip step on two generated backups: one whose
// pages look like a real database's data file (deflate -6 leaves about 15 %
// of it) and one that mixes empty, row and random pages (about 37 %). `zip -6`
// and `pigz -6` (parallel gzip, a speed reference only: it writes no zip) run
// beside our three levels, each in a process of its own so that its peak
// resident memory and CPU time are its own. Every output is tested with its
// reader afterwards. The default prints, for both files and three runs, the
// speed and size of every level against `zip -6` and whether the targets are
// met:
//
//   corvella_zip_bench [--size-mib N] [--dir /tmp] [--runs N] [--files database,mixed]
//                      [--try LIST] [--levels-only] [--with-7z] [--keep]
//
// --try adds contenders by engine, level and block size in KiB, e.g.
// "isal3:256,zlib6:512,libdeflate4:1024"; --levels-only leaves out pigz;
// --with-7z adds `7z a -tzip -mx=5 -mmt=on`. The generated files and the
// outputs are deleted at the end unless --keep is given; a kept file of the
// right size is reused by the next start.
//
// Wall-clock figures are only worth reading on a quiet machine: each run
// prints the load average at its start, and every row the CPU the rest of
// the machine used meanwhile ("others %"). The "CPU s" column, which other
// work disturbs far less, shows where a level stands even then.

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

struct SourceFile {
    std::string name;     // as --files names it
    std::string label;
    backuplike::Content content;
    std::string path;
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

const Target kTargets[] = {{"FAST", "fast", 10.0, 1.08},
                           {"BALANCED", "balanced", 5.0, 1.00},
                           {"SMALLEST", "smallest", 0.7, 0.95}};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// results[run][contender]; contender 0 is zip -6.
using Runs = std::vector<std::vector<Measurement>>;

double speedup(const Runs& runs, std::size_t run, std::size_t contender)
{
    return runs[run][0].seconds / runs[run][contender].seconds;
}

double sizeRatio(const Runs& runs, std::size_t run, std::size_t contender)
{
    return static_cast<double>(runs[run][contender].outputBytes) / static_cast<double>(runs[run][0].outputBytes);
}

void printRun(const std::vector<Contender>& contenders, const std::vector<Measurement>& results, std::uint64_t size)
{
    std::printf("%-22s %8s %8s %11s %9s %9s %8s %7s %6s %8s %s\n", "contender", "seconds", "MB/s", "output MB",
                "size/zip", "speed/zip", "RSS MiB", "CPU s", "CPU %", "others %", "test");
    const Measurement& base = results.front();
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Measurement& m = results[i];
        std::printf("%-22s %8.2f %8.1f %11.1f %9.3f %9.2f %8.1f %7.1f %6.0f %8.0f %s\n", contenders[i].label.c_str(),
                    m.seconds, static_cast<double>(size) / 1e6 / m.seconds, static_cast<double>(m.outputBytes) / 1e6,
                    static_cast<double>(m.outputBytes) / static_cast<double>(base.outputBytes),
                    base.seconds / m.seconds, static_cast<double>(m.peakRssKiB) / 1024.0, m.cpuSeconds,
                    100.0 * m.cpuSeconds / m.seconds, 100.0 * m.otherCpuSeconds / m.seconds,
                    m.verified ? "ok" : (m.ok ? "FAILED" : "not written"));
    }
}

void printSummary(const std::vector<Contender>& contenders, const std::vector<SourceFile>& files,
                  const std::vector<Runs>& results, std::uint64_t size)
{
    const std::size_t runCount = results.front().size();
    std::printf("\n==== Summary: %zu run%s, speed and size against zip -6 (speed: median, then each run) ====\n",
                runCount, runCount == 1 ? "" : "s");
    for (std::size_t f = 0; f < files.size(); ++f) {
        const Runs& runs = results[f];
        std::vector<double> zipSeconds;
        for (const auto& run : runs)
            zipSeconds.push_back(run[0].seconds);
        std::printf("\n%s file, %llu MiB: zip -6 leaves %.1f %% and takes %.1f s (median)\n", files[f].label.c_str(),
                    static_cast<unsigned long long>(size >> 20),
                    100.0 * static_cast<double>(runs[0][0].outputBytes) / static_cast<double>(size),
                    median(zipSeconds));
        std::printf("%-22s %8s  %-24s %9s %8s\n", "contender", "speed", "(runs)", "size", "CPU s");
        for (std::size_t c = 1; c < contenders.size(); ++c) {
            std::vector<double> speeds, cpu;
            std::string each;
            for (std::size_t r = 0; r < runCount; ++r) {
                speeds.push_back(speedup(runs, r, c));
                cpu.push_back(runs[r][c].cpuSeconds);
                char text[16];
                std::snprintf(text, sizeof text, "%s%.2f", r ? " " : "", speeds.back());
                each += text;
            }
            std::printf("%-22s %7.2fx  %-24s %9.3f %8.1f\n", contenders[c].label.c_str(), median(speeds),
                        ("(" + each + ")").c_str(), sizeRatio(runs, 0, c), median(cpu));
        }
    }

    std::printf("\nTargets (median speed):\n");
    for (const Target& t : kTargets) {
        const auto at = std::find_if(contenders.begin(), contenders.end(),
                                     [&](const Contender& c) { return c.mode == t.mode; });
        if (at == contenders.end())
            continue;
        const auto c = static_cast<std::size_t>(at - contenders.begin());
        std::printf("%-9s >= %4.1fx at <= %.2f:", t.label, t.minSpeedup, t.maxSizeRatio);
        for (std::size_t f = 0; f < files.size(); ++f) {
            std::vector<double> speeds;
            long rss = 0;
            for (std::size_t r = 0; r < runCount; ++r) {
                speeds.push_back(speedup(results[f], r, c));
                rss = std::max(rss, results[f][r][c].peakRssKiB);
            }
            const double speed = median(speeds);
            const double ratio = sizeRatio(results[f], 0, c);
            std::printf("  %s %s speed %.2fx, %s size %.3f, %s RSS %.0f MiB;", files[f].name.c_str(),
                        speed >= t.minSpeedup ? "yes" : "NO", speed, ratio <= t.maxSizeRatio ? "yes" : "NO", ratio,
                        rss <= 64 * 1024 ? "yes" : "NO", static_cast<double>(rss) / 1024.0);
        }
        std::printf("\n");
    }
}

void usage()
{
    std::fprintf(stderr, "usage: corvella_zip_bench [--size-mib N] [--dir D] [--runs N] [--files database,mixed] "
                         "[--try LIST] [--levels-only] [--with-7z] [--keep]\n");
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "--run")
        return runChild(args[1], args[2], args[3]);

    std::uint64_t sizeMiB = 1024;
    std::string dir = "/tmp";
    int runCount = 3;
    bool keep = false;
    std::vector<std::string> fileNames = {"database", "mixed"};
    std::vector<Contender> contenders = {{"zip -6", "zip6"},   {"pigz -6 (gz)", "pigz6"}, {"FAST", "fast"},
                                         {"BALANCED", "balanced"}, {"SMALLEST", "smallest"}};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--size-mib" && hasValue) {
            sizeMiB = std::stoull(args[++i]);
        } else if (args[i] == "--dir" && hasValue) {
            dir = args[++i];
        } else if (args[i] == "--runs" && hasValue) {
            runCount = std::max(1, std::stoi(args[++i]));
        } else if (args[i] == "--files" && hasValue) {
            fileNames.clear();
            std::stringstream list(args[++i]);
            for (std::string name; std::getline(list, name, ',');) {
                if (name != "database" && name != "mixed") {
                    usage();
                    return 2;
                }
                fileNames.push_back(name);
            }
        } else if (args[i] == "--try" && hasValue) {
            std::stringstream list(args[++i]);
            for (std::string mode; std::getline(list, mode, ',');) {
                if (!optionsOf(mode)) {
                    std::fprintf(stderr, "unknown contender %s\n", mode.c_str());
                    return 2;
                }
                contenders.push_back({mode, mode});
            }
        } else if (args[i] == "--levels-only") {
            std::erase_if(contenders, [](const Contender& c) { return c.mode == "pigz6"; });
        } else if (args[i] == "--with-7z") {
            contenders.insert(contenders.begin() + 1, {"7z -mx=5", "7z5"});
        } else if (args[i] == "--keep") {
            keep = true;
        } else {
            usage();
            return 2;
        }
    }
    if (fileNames.empty()) {
        usage();
        return 2;
    }

    const std::string work = dir + "/corvella-zip-bench";
    std::filesystem::create_directories(work);
    const std::uint64_t size = sizeMiB << 20;
    std::vector<SourceFile> files;
    for (const std::string& name : fileNames) {
        const bool database = name == "database";
        files.push_back({name, database ? "Database" : "Mixed",
                         database ? backuplike::Content::Database : backuplike::Content::Mixed,
                         work + (database ? "/Sales_20240101120000.Bak" : "/Mixed_20240101120000.Bak")});
        const SourceFile& f = files.back();
        std::error_code ec;
        if (std::filesystem::file_size(f.path, ec) != size) {
            std::printf("Generating %llu MiB %s file %s ...\n", static_cast<unsigned long long>(sizeMiB),
                        name.c_str(), f.path.c_str());
            std::fflush(stdout);
            if (const std::string error = backuplike::writeFile(f.path, size, 1, f.content); !error.empty()) {
                std::fprintf(stderr, "Cannot write %s: %s\n", f.path.c_str(), error.c_str());
                return 1;
            }
        }
    }

    const unsigned cores = std::thread::hardware_concurrency();
    std::vector<Runs> results(files.size());
    for (int run = 1; run <= runCount; ++run) {
        for (std::size_t f = 0; f < files.size(); ++f) {
            const SourceFile& file = files[f];
            // Same starting point for everyone: the source in the page cache.
            std::system(("cat '" + file.path + "' > /dev/null").c_str());
            double load[3] = {};
            ::getloadavg(load, 3);
            std::printf("\nRun %d of %d, %s file: %llu MiB, %u cores, load average at start %.2f %.2f %.2f%s\n\n",
                        run, runCount, file.name.c_str(), static_cast<unsigned long long>(sizeMiB), cores, load[0],
                        load[1], load[2], load[0] > 0.3 ? " (busy: wall-clock figures are disturbed)" : "");
            std::vector<Measurement> measured;
            for (const Contender& c : contenders) {
                const std::string output = work + "/" + file.name + "_" + outputName(c.mode);
                measured.push_back(measure(c, file.path, output));
                if (!keep)
                    std::filesystem::remove(output);
                std::filesystem::remove(output + ".log");
            }
            printRun(contenders, measured, size);
            std::fflush(stdout);
            results[f].push_back(std::move(measured));
        }
    }
    std::printf("\n(CPU s: user+system seconds; CPU %%: those over wall time, 100 = one core busy; others %%: the\n"
                " same for the rest of the machine meanwhile, steal time included: above a few %%, the timing is\n"
                " disturbed)\n");
    printSummary(contenders, files, results, size);

    if (!keep)
        std::filesystem::remove_all(work);
    return 0;
}
