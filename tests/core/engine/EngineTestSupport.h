#pragma once

#include "engine/BackupJob.h"
#include "engine/BackupWorker.h"

#include "fakes/ManualClock.h"
#include "fakes/RecordingOwner.h"
#include "fakes/ScriptedConnector.h"
#include "fakes/StepDoubles.h"
#include "fakes/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A real temporary folder and a full set of doubles around one owner.
class EngineTest : public ::testing::Test {
public:
    void SetUp() override;
    void TearDown() override;

    engine::BackupJob job(const std::string& name) const;
    engine::BackupServices services();
    engine::RunResult run(const engine::BackupJob& job);

    std::vector<std::chrono::milliseconds> pauses() const;

    std::unique_ptr<fakes::TempFolder> m_folder;
    std::string m_root;
    std::unique_ptr<fakes::RecordingOwner> m_owner;
    fakes::ScriptedConnector m_connector;
    fakes::FakeArchiver m_archiver;
    fakes::FakeMailer m_mailer;
    fakes::FailingFileOps m_fileOps;
    fakes::ManualClock m_clock;

private:
    mutable std::mutex m_pauseMutex;
    std::vector<std::chrono::milliseconds> m_pauses;
};
