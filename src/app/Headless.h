#pragma once

#include "app/Commands.h"
#include "app/StartUp.h"

#include <string>

namespace config { class DatabaseList; struct MailSettings; }
namespace engine { class SettingsStore; }

// The commands of the program without a window (see Commands.h), run on
// the main thread. Notices become lines on stderr.
namespace app {

// --backup-now: every listed database once, the final status rows on stdout.
int BackupNow(const Invocation& invocation);
// --restore-test [--database NAME]: the newest kept backup of every listed
// database (or of those named NAME) restored under a scratch name, checked
// and dropped; the verdicts on stdout.
int RestoreTest(const Invocation& invocation);
// --service: the auto backup service until SIGINT or SIGTERM; SIGHUP reloads.
int Service(const Invocation& invocation);
// --encode-password: the stored form of the password on stdin.
int EncodePassword(const Invocation& invocation);

// Takes the database list and the mail settings from `store` (with
// `reload`, the file read again first) and checks them: the file must exist,
// be readable and list at least one database with a server address, a name
// and a backup path. False, with the reason, otherwise.
bool LoadConfiguration(engine::SettingsStore& store, bool reload, config::DatabaseList& databases,
                       config::MailSettings& mail, std::string& error);

} // namespace app
