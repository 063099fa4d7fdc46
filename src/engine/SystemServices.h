#pragma once

#include "db/DbConnection.h"
#include "engine/Archiver.h"
#include "engine/BackupWorker.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/Mailer.h"

#include <string>

namespace engine {

// The real implementations behind a run's seams: ODBC to the server, the zip
// writer, SMTP, the system clock and the file system. One instance serves
// every run of an owner and must outlive them all; an owner that may end
// while a run is still blocked in the server's command keeps it alive until
// the process ends. Stateless apart from the settings path: any thread.
class SystemServices {
public:
    // `settingsPath` is the settings file whose zip preference runs follow.
    explicit SystemServices(const std::string& settingsPath)
        : m_archiver(settingsPath)
    {
    }

    BackupServices services(const std::string& applicationName = {})
    {
        BackupServices s;
        s.connector = &m_connector;
        s.archiver = &m_archiver;
        s.mailer = &m_mailer;
        s.clock = &m_clock;
        s.fileOps = &m_fileOps;
        s.applicationName = applicationName;
        return s;
    }

private:
    db::OdbcConnector m_connector;
    ZipArchiver m_archiver;
    SmtpMailer m_mailer;
    SystemClock m_clock;
    FileOps m_fileOps;
};

} // namespace engine
