// Uploads one large file of random bytes through the offsite layer to the S3
// test server (s3rver behind the signature check, on 127.0.0.1), then sends
// the same file with `curl -T` (one signed PUT, unsigned payload) to the same
// server, and prints both times and throughputs, the client's CPU time and
// its peak resident memory. The file lives under /tmp and is removed
// afterwards; the page cache holds it for both runs alike.

#include "fakes/S3TestServer.h"
#include "offsite/S3Client.h"
#include "offsite/Upload.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool writeRandomFile(const std::string& path, long long bytes)
{
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    for (long long written = 0; written < bytes;) {
        for (auto& word : block)
            word = random();
        const long long n = std::min<long long>(static_cast<long long>(block.size() * 8), bytes - written);
        out.write(reinterpret_cast<const char*>(block.data()), n);
        written += n;
    }
    return static_cast<bool>(out);
}

// `curl -T` with the credentials on its standard input, not its command line.
int curlUpload(const std::string& path, const std::string& url, const std::string& key, const std::string& secret)
{
    const std::string command = "curl -sSf -o /dev/null --config - -T '" + path + "' '" + url + "'";
    FILE* curl = ::popen(command.c_str(), "w");
    if (!curl)
        return -1;
    std::fprintf(curl, "aws-sigv4 = \"aws:amz:us-east-1:s3\"\nuser = \"%s:%s\"\n"
                       "header = \"x-amz-content-sha256: UNSIGNED-PAYLOAD\"\n",
                 key.c_str(), secret.c_str());
    const int status = ::pclose(curl);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int main(int argc, char** argv)
{
    const long long mib = argc > 1 ? std::atoll(argv[1]) : 2048;
    const std::string path = "/tmp/corvella-offsite-bench-" + std::to_string(::getpid()) + ".Bak";
    if (!writeRandomFile(path, mib * 1024 * 1024)) {
        std::perror("cannot write the file");
        return 1;
    }
    fakes::S3TestServer::Options options;
    options.credentials = {{"AKIABENCH", "bench-secret"}};
    fakes::S3TestServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "%s\n", server.error().c_str());
        ::unlink(path.c_str());
        return 1;
    }

    offsite::StoreLocation location;
    offsite::ParseLocation("s3://backups/bench", server.endpoint(), "", location);
    offsite::S3Client client(location, {"AKIABENCH", "bench-secret", {}});
    const long before = peakResidentKiB();
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const offsite::UploadOutcome outcome = offsite::UploadFile(client, path, "bench/ours.Bak", {}, {}, {});
    const double ours = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    const long peak = peakResidentKiB();
    if (!outcome.ok) {
        std::fprintf(stderr, "upload failed: %s\n", outcome.error.c_str());
        ::unlink(path.c_str());
        return 1;
    }

    const auto curlStart = std::chrono::steady_clock::now();
    const int curlStatus = curlUpload(path, server.endpoint() + "/backups/bench/curl.Bak", "AKIABENCH", "bench-secret");
    const double theirs = std::chrono::duration<double>(std::chrono::steady_clock::now() - curlStart).count();
    ::unlink(path.c_str());

    std::printf("file                       %lld MiB of random bytes\n", mib);
    std::printf("offsite upload             %.1f s, %.0f MiB/s (%d parts, 2 in flight, SHA-256 each)\n", ours,
                mib / ours, outcome.parts);
    std::printf("curl -T (one PUT)          %.1f s, %.0f MiB/s%s\n", theirs, mib / theirs,
                curlStatus == 0 ? "" : " (curl failed)");
    std::printf("client CPU time            %.2f s\n", cpu);
    std::printf("peak RSS before upload     %.1f MiB\n", before / 1024.0);
    std::printf("peak RSS after upload      %.1f MiB\n", peak / 1024.0);
    return peak < 64 * 1024 ? 0 : 2;
}
