// The time verification adds to a backup: one database backed up by the
// program's own run against the local test server, once without and once
// with VERIFY_BACKUP (BACKUP ... CHECKSUM, then RESTORE VERIFYONLY), each
// repeated, the backup of the given size.
//
//   corvella_verify_bench [backup MiB] [repeats]

#include "engine/BackupSession.h"
#include "engine/BackupWorker.h"
#include "engine/SystemServices.h"

#include "fakes/RecordingOwner.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    fakes::TempFolder folder("corvella-verify-bench");
    fakes::TdsTestServer::Options options;
    options.logins = {{"backup", "Backup#2024"}};
    options.databases = {"Sales"};
    options.backupSize = mib << 20;
    fakes::TdsTestServer server(options);
    if (!server.start()) {
        std::printf("test server: %s\n", server.error().c_str());
        return 1;
    }
    engine::SystemServices real(folder.path("BackupConfig.ini"));
    fakes::RecordingOwner owner(folder.path("BackupLog.log"));
    // Rounds alternate between the two, so that the page cache and the disk
    // treat both alike; a first round, not counted, creates the folders.
    std::vector<double> seconds[2];
    for (int round = 0; round <= repeats; ++round) {
        for (const bool verify : {false, true}) {
            engine::BackupJob job;
            job.databaseUrl = server.dataSource();
            job.databaseName = "Sales";
            job.userName = "backup";
            job.password = "Backup#2024";
            job.backupPath = folder.path("backups");
            job.verify = verify;
            job.owner = &owner.session();
            engine::BackupWorker worker(job, real.services());
            const auto start = std::chrono::steady_clock::now();
            const engine::RunResult result = worker.run();
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (!result.completed()) {
                std::printf("run failed: %s\n", result.row[engine::StatusBackupStatus].c_str());
                return 1;
            }
            if (round > 0)
                seconds[verify].push_back(took);
        }
    }
    for (const bool verify : {false, true}) {
        auto& s = seconds[verify];
        std::sort(s.begin(), s.end());
        std::printf("%llu MiB backup, verification %s: median %.2f s (min %.2f, max %.2f, %d runs)\n",
                    static_cast<unsigned long long>(mib), verify ? "on " : "off", s[s.size() / 2], s.front(),
                    s.back(), repeats);
    }
    return 0;
}
