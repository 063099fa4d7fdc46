// Sends one large attachment through MailComponent to the SMTP test server
// (which counts and drops the data) and prints the time taken, the CPU time
// of this process (the server runs in its own) and its peak resident memory.
// The attachment is a sparse file under /tmp, removed afterwards.

#include "fakes/SmtpTestServer.h"
#include "mail/MailComponent.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace {

long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv)
{
    const long long mib = argc > 1 ? std::atoll(argv[1]) : 2048;
    char path[] = "/tmp/corvella-mail-bench-XXXXXX.Bak";
    const int fd = ::mkstemps(path, 4);
    if (fd < 0 || ::ftruncate(fd, mib * 1024 * 1024) != 0) {
        std::perror("cannot create the attachment");
        return 1;
    }
    ::close(fd);

    fakes::SmtpTestServer server({fakes::SmtpTestServer::Mode::Plain, "", "", true});
    if (!server.start()) {
        std::fprintf(stderr, "%s\n", server.error().c_str());
        ::unlink(path);
        return 1;
    }
    const long before = peakResidentKiB();
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();

    auto component = mail::MailComponent::create();
    std::optional<std::string> failure;
    mail::Status status = component ? mail::kOk : mail::kFailed;
    if (component) {
        component->SetSubject("bench");
        component->SetBody("large attachment");
        component->SetServer("127.0.0.1", static_cast<std::uint32_t>(server.port()));
        component->UseSimple();
        component->AddRecipient("dba@example.org", "dba@example.org");
        component->SetSenderAddress("backup@example.org");
        component->SetSenderAccount("backup@example.org");
        status = component->AddAttachment(path);
        if (!mail::IsFailure(status))
            status = component->SendMail(failure);
    }

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    const long peak = peakResidentKiB();
    const auto messages = server.messages();
    ::unlink(path);

    if (mail::IsFailure(status) || failure) {
        std::fprintf(stderr, "send failed: %s\n",
                     failure ? failure->c_str() : component ? component->lastError().c_str() : "no component");
        return 1;
    }
    const unsigned long long received = messages.empty() ? 0 : messages[0].dataBytes;
    std::printf("attachment           %lld MiB\n", mib);
    std::printf("message data sent    %.1f MiB\n", received / 1048576.0);
    std::printf("time                 %.1f s (%.0f MiB/s of attachment)\n", seconds, mib / seconds);
    std::printf("client CPU time      %.2f s\n", cpu);
    std::printf("peak RSS before send %.1f MiB\n", before / 1024.0);
    std::printf("peak RSS after send  %.1f MiB\n", peak / 1024.0);
    return peak < 64 * 1024 ? 0 : 2;
}
