#pragma once

// Settings files as the suites that start the program write them.

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "log/Log.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace integration {

// Writes `file` listing `databases` (name, password) on `server` with the
// login "backup", every hour, below `backups`, nothing zipped or mailed; the
// save's log line goes to "<file>.log".
inline void WriteSettings(const std::string& file, const std::string& server,
                          const std::vector<std::pair<std::string, std::string>>& databases, const std::string& backups)
{
    config::DatabaseList list;
    config::PasswordCodec codec;
    for (const auto& [name, password] : databases) {
        std::string encoded;
        EXPECT_EQ(codec.Encode(password, encoded), 0);
        const int row = list.insertRow(list.rowCount());
        const std::string cells[] = {std::to_string(row + 1), server, name, "backup", encoded, "1 Hours", backups,
                                     "False", "False", "False"};
        for (int c = 0; c < config::kConfigColumnCount; ++c)
            list.setCell(row, c, cells[c]);
    }
    logging::Log log(file + ".log");
    EXPECT_TRUE(config::SaveDatabaseList(file, list, log));
}

} // namespace integration
