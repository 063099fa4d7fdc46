#pragma once

#include "config/CachedProfile.h"
#include "config/DatabaseSecurity.h"
#include "db/DbConnection.h"
#include "engine/Archiver.h"
#include "engine/BackupWorker.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/Mailer.h"
#include "engine/OffsiteStore.h"

#include <memory>
#include <string>

namespace engine {

// The connection options the settings file asks for (its DB_ENCRYPTION,
// DB_CA_FILE and DB_TRUST_SERVER_CERTIFICATE). The connector below reads them
// for every connection, so a change applies to the next one. False, with the
// reason, when the file exists but cannot be read.
inline bool LoadConnectionOptions(config::CachedProfile& settings, db::DbConnectionOptions& options,
                                  std::string& failureText)
{
    config::DatabaseSecurity security;
    if (!config::LoadDatabaseSecurity(settings, security, &failureText))
        return false;
    using Mode = db::EncryptionOptions::Mode;
    options.encryption.mode = security.encryption == config::DbEncryption::Require ? Mode::Require
        : security.encryption == config::DbEncryption::Off                         ? Mode::Off
                                                                                   : Mode::Request;
    options.encryption.caFile = security.caFile;
    options.encryption.trustServerCertificate = security.trustServerCertificate;
    return true;
}

// The real implementations behind a run's seams: ODBC to the server, the zip
// writer, SMTP, S3-compatible storage, the system clock and the file system.
// One instance serves every run of an owner and must outlive them all; an
// owner that may end while a run is still blocked in the server's command
// keeps it alive until the process ends. Any thread.
class SystemServices {
public:
    // How often a run asks the server how far its backup is.
    static constexpr std::chrono::milliseconds kProgressInterval{1000};

    // `settingsPath` is the settings file whose zip and connection
    // preferences runs follow; it is read again only when it has changed.
    explicit SystemServices(const std::string& settingsPath)
        : m_settings(std::make_shared<config::CachedProfile>(settingsPath))
        , m_connector([settings = m_settings](db::DbConnectionOptions& options, std::string& failureText) {
            return LoadConnectionOptions(*settings, options, failureText);
        })
        , m_archiver(m_settings)
    {
    }

    // The connection options the settings file asks for now, as every
    // connection of a run gets them; for the connection test of the list.
    bool connectionOptions(db::DbConnectionOptions& options, std::string& failureText)
    {
        return LoadConnectionOptions(*m_settings, options, failureText);
    }

    BackupServices services(const std::string& applicationName = {})
    {
        BackupServices s;
        s.connector = &m_connector;
        s.archiver = &m_archiver;
        s.mailer = &m_mailer;
        s.offsite = &m_offsite;
        s.clock = &m_clock;
        s.fileOps = &m_fileOps;
        s.applicationName = applicationName;
        s.progressInterval = kProgressInterval;
        return s;
    }

private:
    std::shared_ptr<config::CachedProfile> m_settings;
    db::OdbcConnector m_connector;
    ZipArchiver m_archiver;
    SmtpMailer m_mailer;
    S3OffsiteStore m_offsite;
    SystemClock m_clock;
    FileOps m_fileOps;
};

} // namespace engine
