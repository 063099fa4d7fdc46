#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace ziptest {

struct CommandResult {
    int exitCode = -1;
    std::string output;
};

// A shell command running beside the test, its stdout and stderr going to a
// file; wait() collects it.
class BackgroundCommand {
public:
    explicit BackgroundCommand(const std::string& command)
    {
        char pattern[] = "/tmp/corvella-zip-out-XXXXXX";
        const int fd = ::mkstemp(pattern);
        m_outputPath = pattern;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fd);
    }
    ~BackgroundCommand() { wait(); }
    BackgroundCommand(const BackgroundCommand&) = delete;
    BackgroundCommand& operator=(const BackgroundCommand&) = delete;

    CommandResult wait()
    {
        if (m_pid > 0) {
            int status = 0;
            if (::waitpid(m_pid, &status, 0) == m_pid)
                m_result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = -1;
            std::ifstream in(m_outputPath);
            m_result.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            ::unlink(m_outputPath.c_str());
        }
        return m_result;
    }

private:
    pid_t m_pid = -1;
    std::string m_outputPath;
    CommandResult m_result;
};

// Runs a shell command, capturing stdout and stderr.
inline CommandResult run(const std::string& command)
{
    return BackgroundCommand(command).wait();
}

inline std::string quote(const std::string& path)
{
    return "'" + path + "'";
}

inline std::vector<std::uint8_t> readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

inline void writeAll(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline const std::vector<std::uint8_t>& emptyArchiveBytes()
{
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b(22, 0);
        b[0] = 0x50;
        b[1] = 0x4B;
        b[2] = 0x05;
        b[3] = 0x06;
        return b;
    }();
    return bytes;
}

// Streams the entry of `archive` through `extract` (by default `unzip -p`)
// and compares it with `source` byte for byte, holding neither in memory or
// on disk.
inline ::testing::AssertionResult entryMatches(const std::string& archive, const std::string& source,
                                               const std::string& extract = {})
{
    FILE* pipe = ::popen((extract.empty() ? "unzip -p " + quote(archive) : extract + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return ::testing::AssertionFailure() << "cannot run unzip";
    FILE* file = std::fopen(source.c_str(), "rb");
    if (!file) {
        ::pclose(pipe);
        return ::testing::AssertionFailure() << "cannot open " << source;
    }
    std::vector<char> a(1 << 20), b(1 << 20);
    std::uint64_t offset = 0;
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    for (;;) {
        const std::size_t na = std::fread(a.data(), 1, a.size(), pipe);
        const std::size_t nb = std::fread(b.data(), 1, na > 0 ? na : 1, file);
        if (na != nb || std::memcmp(a.data(), b.data(), na) != 0) {
            result = ::testing::AssertionFailure() << "extracted data differs from the source near offset " << offset
                                                   << " (" << na << " vs " << nb << " bytes read)";
            break;
        }
        if (na == 0)
            break;
        offset += na;
    }
    std::fclose(file);
    const int status = ::pclose(pipe);
    if (result && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        result = ::testing::AssertionFailure() << "extraction failed with status " << status;
    return result;
}

// Runs the zip readers a user would open the archive with, side by side:
// each must accept it, and the two that list must show the entry. 7z and
// Python's zipfile inflate the entry and check its CRC-32; unzip does too.
inline ::testing::AssertionResult readersAccept(const std::string& archive, const std::string& entryName,
                                                std::uint64_t entrySize)
{
    BackgroundCommand unzipTest("unzip -tqq " + quote(archive));
    BackgroundCommand sevenZipTest("7z t " + quote(archive));
    BackgroundCommand pythonTest("/usr/bin/python3 -m zipfile -t " + quote(archive));
    BackgroundCommand bsdtarList("bsdtar -tvf " + quote(archive));
    const CommandResult results[] = {unzipTest.wait(), sevenZipTest.wait(), pythonTest.wait(), bsdtarList.wait()};
    const char* const names[] = {"unzip -t", "7z t", "python3 -m zipfile -t", "bsdtar -tvf"};
    for (int i = 0; i < 4; ++i)
        if (results[i].exitCode != 0)
            return ::testing::AssertionFailure() << names[i] << " failed: " << results[i].output;
    if (results[1].output.find("Everything is Ok") == std::string::npos)
        return ::testing::AssertionFailure() << "7z t: " << results[1].output;
    // zipfile exits with 0 even when it finds a bad CRC.
    if (results[2].output.find("Done testing") == std::string::npos
        || results[2].output.find("corrupted") != std::string::npos)
        return ::testing::AssertionFailure() << "python3 -m zipfile -t: " << results[2].output;
    const std::string listing = results[3].output;
    if (listing.find(" " + std::to_string(entrySize) + " ") == std::string::npos
        || listing.find(entryName + "\n") == std::string::npos)
        return ::testing::AssertionFailure() << "bsdtar -tvf does not list " << entryName << " of " << entrySize
                                             << " bytes: " << listing;
    return ::testing::AssertionSuccess();
}


} // namespace ziptest
