// The time a restore test adds to a backup: one database backed up by the
// program's own run against the local test server, once without and once
// with RESTORE_TEST (the server restores the new backup under a scratch name
// into its data folder, DBCC CHECKDB reads the copy, the copy is dropped),
// each repeated, the backup of the given size; with "zip", the backup is
// zipped and the test unpacks the archive first.
//
//   corvella_restore_test_bench [backup MiB] [repeats] [zip]

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
#include <cstring>
#include <filesystem>
#include <vector>

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const bool zip = argc > 3 && std::strcmp(argv[3], "zip") == 0;
    fakes::TempFolder folder("corvella-restore-bench");
    std::filesystem::create_directories(folder.path("data"));
    fakes::TdsTestServer::Options options;
    options.logins = {{"backup", "Backup#2024"}};
    options.databases = {"Sales"};
    options.backupSize = mib << 20;
    options.dataPath = folder.path("data");
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
    std::vector<double> restoreSeconds;
    for (int round = 0; round <= repeats; ++round) {
        for (const bool test : {false, true}) {
            engine::BackupJob job;
            job.databaseUrl = server.dataSource();
            job.databaseName = "Sales";
            job.userName = "backup";
            job.password = "Backup#2024";
            job.backupPath = folder.path("backups");
            job.zip = zip;
            job.restoreTest = test;
            job.owner = &owner.session();
            engine::BackupWorker worker(job, real.services());
            const auto start = std::chrono::steady_clock::now();
            const engine::RunResult result = worker.run();
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (!result.completed()) {
                std::printf("run failed: %s\n", result.row[engine::StatusBackupStatus].c_str());
                return 1;
            }
            if (round > 0) {
                seconds[test].push_back(took);
                if (test)
                    restoreSeconds.push_back(result.restoreTest.restoreSeconds);
            }
        }
    }
    const auto median = [](std::vector<double> s) {
        std::sort(s.begin(), s.end());
        return s[s.size() / 2];
    };
    for (const bool test : {false, true}) {
        auto& s = seconds[test];
        std::sort(s.begin(), s.end());
        std::printf("%llu MiB backup%s, restore test %s: median %.2f s (min %.2f, max %.2f, %d runs)\n",
                    static_cast<unsigned long long>(mib), zip ? " zipped" : "", test ? "on " : "off", median(s),
                    s.front(), s.back(), repeats);
    }
    std::printf("restore step alone (the server's RESTORE DATABASE): median %.2f s\n", median(restoreSeconds));
    return 0;
}
