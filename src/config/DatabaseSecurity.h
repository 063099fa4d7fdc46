#pragma once

// How connections to the database servers are protected: three keys of
// section OPTIONS of BackupConfig.ini.
//
//   DB_ENCRYPTION=REQUEST|REQUIRE|OFF   (missing or anything else: REQUEST)
//   DB_CA_FILE=/path/ca.pem             (REQUIRE: the authorities trusted for
//                                        the server's certificate; missing:
//                                        the system's trusted certificates)
//   DB_TRUST_SERVER_CERTIFICATE=TRUE    (REQUIRE: encrypt, but take the
//                                        certificate unchecked)
//
// Values compare without regard to case. A relative DB_CA_FILE is taken
// relative to the folder of the settings file. Read with the other options
// (RunOptions).

#include <string>

namespace config {

class ProfileFile;

inline constexpr const char* kDbEncryptionKey = "DB_ENCRYPTION";
inline constexpr const char* kDbCaFileKey = "DB_CA_FILE";
inline constexpr const char* kDbTrustServerCertificateKey = "DB_TRUST_SERVER_CERTIFICATE";

enum class DbEncryption {
    Request, // encrypt what the server offers to encrypt; any certificate is taken
    Require, // refuse a server that does not encrypt, and check its certificate
    Off,     // ask for no encryption (a server that insists still gets it)
};

struct DatabaseSecurity {
    DbEncryption encryption = DbEncryption::Request;
    std::string caFile; // empty: the system's trusted certificates
    bool trustServerCertificate = false;

    bool operator==(const DatabaseSecurity&) const = default;
};

// The settings as `profile` holds them; `settingsFolder` anchors a relative
// DB_CA_FILE (empty: the path is kept as written).
DatabaseSecurity ReadDatabaseSecurity(const ProfileFile& profile, const std::string& settingsFolder = {});


} // namespace config
