#include "EngineTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <stdlib.h>

namespace fs = std::filesystem;

void EngineTest::SetUp()
{
    m_folder = std::make_unique<fakes::TempFolder>("corvella-engine");
    m_root = m_folder->root();
    m_owner = std::make_unique<fakes::RecordingOwner>(m_root + "/BackupLog.log");
    m_connector.setOnExecute(fakes::ScriptedConnector::WriteBackupFile(1234));
}

void EngineTest::TearDown()
{
    m_owner.reset();
    m_folder.reset();
}

engine::BackupJob EngineTest::job(const std::string& name) const
{
    engine::BackupJob job;
    job.databaseUrl = "127.0.0.1,1433";
    job.databaseName = name;
    job.userName = "sa";
    job.password = "secret";
    job.intervalMinutes = 30;
    job.backupPath = m_root + "/backups";
    job.owner = &m_owner->session();
    return job;
}

engine::BackupServices EngineTest::services()
{
    engine::BackupServices services;
    services.connector = &m_connector;
    services.archiver = &m_archiver;
    services.mailer = &m_mailer;
    services.clock = &m_clock;
    services.fileOps = &m_fileOps;
    services.applicationName = "corvella";
    services.pause = [this](std::chrono::milliseconds d) {
        std::lock_guard lock(m_pauseMutex);
        m_pauses.push_back(d);
    };
    return services;
}

engine::RunResult EngineTest::run(const engine::BackupJob& job)
{
    engine::BackupWorker worker(job, services());
    return worker.run();
}

std::vector<std::chrono::milliseconds> EngineTest::pauses() const
{
    std::lock_guard lock(m_pauseMutex);
    return m_pauses;
}
