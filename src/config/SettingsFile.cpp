#include "config/SettingsFile.h"

#include "config/PasswordCodec.h"
#include "config/ProfileFile.h"
#include "config/RunOptions.h"
#include "log/Log.h"

#include <array>
#include <cctype>
#include <climits>
#include <new>
#include <optional>
#include <vector>
#include <unistd.h>

namespace config {

namespace {

constexpr const char* kListSection = "DBBackInfo";
constexpr const char* kTotalCountKey = "TOTAL_COUNT";

// The keys of one database group, in the order they are written and read,
// each with the column of the list it holds.
struct GroupKey {
    const char* base;
    int column;
};
constexpr std::array<GroupKey, 9> kGroupKeys = {{
    {"DB_URL", ColDatabaseUrl},
    {"DB_NAME", ColDatabaseName},
    {"DB_USER_ID", ColUserName},
    {"DB_INITER", ColEncodedPassword},
    {"TIME_INTERVAL", ColInterval},
    {"BACKUP_PATH", ColBackupPath},
    {"BACKUP_ZIP", ColZip},
    {"BACKUP_EMAIL", ColEmail},
    {"BACKUP_DEL", ColKeepOld},
}};

// Written only when not empty, so that a file without it loads and saves as
// it always did.
constexpr GroupKey kServerPathKey{"SERVER_PATH", ColServerPath};

// A count beyond this is taken as this: a damaged TOTAL_COUNT must not
// stall start-up with millions of empty rows.
constexpr long long kMaxDatabaseRows = 10000;

constexpr const char* kMailSection = "EMAILSERVERINFO";
constexpr const char* kServerAddressKey = "SVRIP";
constexpr const char* kPortKey = "SVRPORT";
constexpr const char* kAccountKey = "SVRID";
constexpr const char* kPasswordKey = "SVRPD";
constexpr const char* kRecipientKey = "SVRSENDER";
constexpr const char* kSecurityKey = "SECURITY";
constexpr const char* kSubjectKey = "SVRSUBJECT";
constexpr const char* kSenderNameKey = "SVRNAME";
constexpr const char* kMessageKey = "SVRMSG";
constexpr long long kMaxPort = 65535;

constexpr const char* kTrue = "TRUE";
constexpr const char* kFalse = "FALSE";

constexpr const char* kSavedListMessage = "Saved Database Configurations";

std::string groupKey(const char* base, int index)
{
    return std::string(base) + "_" + std::to_string(index);
}

// The first value of `keys` in `section` that is too long to be used, as
// the text that refuses it.
std::optional<std::string> firstValueTooLong(const ProfileFile& profile, const std::string& iniPath,
                                             std::string_view section, const std::vector<std::string>& keys)
{
    for (const std::string& key : keys) {
        if (const auto value = profile.find(section, key); value && value->size() > ProfileFile::kMaxValueLength)
            return ValueTooLongText(iniPath, section, key, value->size());
    }
    return std::nullopt;
}

long long storedCount(const ProfileFile& profile)
{
    const std::string countText = profile.read(kListSection, kTotalCountKey);
    const long long count = countText.empty() ? 0 : LeadingInteger(countText);
    return count > kMaxDatabaseRows ? kMaxDatabaseRows : count;
}

// Every value the database list loader reads: the count, the groups it
// counts, and the options of the runs.
std::optional<std::string> listValueTooLong(const ProfileFile& profile, const std::string& iniPath)
{
    std::vector<std::string> keys = {kTotalCountKey};
    const long long count = storedCount(profile);
    for (int n = 0; n < count; ++n) {
        for (const GroupKey& key : kGroupKeys)
            keys.push_back(groupKey(key.base, n));
    }
    if (auto problem = firstValueTooLong(profile, iniPath, kListSection, keys))
        return problem;
    return firstValueTooLong(profile, iniPath, kOptionsSection, profile.keys(kOptionsSection));
}

const std::vector<std::string>& mailKeys()
{
    static const std::vector<std::string> keys = {kServerAddressKey, kPortKey,    kAccountKey,
                                                  kPasswordKey,      kRecipientKey, kSecurityKey,
                                                  kSubjectKey,       kSenderNameKey, kMessageKey};
    return keys;
}

// Every value the mail settings loader reads.
std::optional<std::string> mailValueTooLong(const ProfileFile& profile, const std::string& iniPath)
{
    if (auto problem = firstValueTooLong(profile, iniPath, kMailSection, mailKeys()))
        return problem;
    return firstValueTooLong(profile, iniPath, kOptionsSection, {kMailOnFailureKey});
}

std::string outOfMemoryText(const std::string& iniPath)
{
    return "Cannot read settings file '" + iniPath + "': out of memory";
}

bool loadDatabaseList(const std::string& iniPath, DatabaseList& list, std::string* error);
bool loadMailSettings(const std::string& iniPath, MailSettings& settings, std::string* error);

ProfileFile loadOrEmpty(const std::string& iniPath, bool* loaded = nullptr, std::string* error = nullptr)
{
    ProfileFile profile;
    const bool ok = ProfileFile::load(iniPath, profile, error) != ProfileFile::LoadStatus::Failed;
    if (loaded)
        *loaded = ok;
    return profile;
}

} // namespace

long long LeadingInteger(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < LLONG_MAX / 10)
            value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

std::string ValueTooLongText(const std::string& iniPath, std::string_view section, std::string_view key,
                             std::size_t length)
{
    return "The value of " + std::string(key) + " in section [" + std::string(section) + "] of the settings file '"
        + iniPath + "' is " + std::to_string(length) + " bytes long; a value may hold at most "
        + std::to_string(ProfileFile::kMaxValueLength) + " bytes.";
}

std::optional<std::string> SettingsValueTooLong(const ProfileFile& profile, const std::string& iniPath)
{
    if (auto problem = listValueTooLong(profile, iniPath))
        return problem;
    return mailValueTooLong(profile, iniPath);
}

std::string OutOfMemoryText(const std::string& iniPath)
{
    return outOfMemoryText(iniPath);
}

std::string ProgramFolder()
{
    std::string path(4096, '\0');
    ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0)
        return {};
    path.resize(static_cast<std::size_t>(length));
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return path;
    return path.substr(0, slash + 1);
}

std::optional<long long> GroupIndex(std::string_view key)
{
    for (const GroupKey& group : kGroupKeys) {
        const std::string_view base = group.base;
        if (key.size() <= base.size() + 1 || key[base.size()] != '_')
            continue;
        bool sameBase = true;
        for (std::size_t i = 0; i < base.size(); ++i)
            sameBase = sameBase && std::toupper(static_cast<unsigned char>(key[i])) == base[i];
        if (!sameBase)
            continue;
        const std::string_view digits = key.substr(base.size() + 1);
        // The writer's form only: no sign, no leading zero.
        if ((digits.size() > 1 && digits.front() == '0') || digits.size() > 18)
            return std::nullopt;
        long long index = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
            index = index * 10 + (c - '0');
        }
        return index;
    }
    return std::nullopt;
}

std::string DefaultSettingsPath()
{
    return ProgramFolder() + kSettingsFileName;
}

bool LoadDatabaseList(const std::string& iniPath, DatabaseList& list, std::string* error)
{
    const int before = list.rowCount();
    try {
        return loadDatabaseList(iniPath, list, error);
    } catch (const std::bad_alloc&) {
        while (list.rowCount() > before)
            list.removeRow(list.rowCount() - 1);
        if (error)
            *error = outOfMemoryText(iniPath);
        return false;
    }
}

namespace {

bool loadDatabaseList(const std::string& iniPath, DatabaseList& list, std::string* error)
{
    bool loaded = false;
    const ProfileFile profile = loadOrEmpty(iniPath, &loaded, error);
    if (auto problem = listValueTooLong(profile, iniPath)) {
        if (error)
            *error = std::move(*problem);
        return false;
    }
    ReadDatabaseList(profile, list);
    return loaded;
}

} // namespace

void ReadDatabaseList(const ProfileFile& profile, DatabaseList& list)
{
    const long long count = storedCount(profile);
    for (int n = 0; n < count; ++n) {
        const int row = list.insertRow(list.rowCount());
        list.setCell(row, ColSerial, std::to_string(row + 1));
        for (const GroupKey& key : kGroupKeys) {
            std::string value = profile.read(kListSection, groupKey(key.base, n));
            if (!value.empty())
                list.setCell(row, key.column, std::move(value));
        }
        list.setCell(row, kServerPathKey.column, profile.read(kListSection, groupKey(kServerPathKey.base, n)));
    }
}

bool SaveDatabaseList(const std::string& iniPath, const DatabaseList& list, logging::Log& log, std::string* errorText)
{
    const int rows = list.rowCount();
    std::string error;
    ProfileFile profile;
    bool saved = ProfileFile::load(iniPath, profile, &error) != ProfileFile::LoadStatus::Failed;
    // A file whose list could not be loaded for a value too long is not
    // replaced by a list that lacks it.
    if (auto problem = saved ? listValueTooLong(profile, iniPath) : std::nullopt) {
        error = *problem + " Correct it in the file first.";
        saved = false;
    }
    for (int n = 0; saved && n < rows; ++n) {
        for (const GroupKey& key : kGroupKeys) {
            const std::string& value = list.cell(n, key.column);
            if (value.size() > ProfileFile::kMaxValueLength) {
                error = ValueTooLongText(iniPath, kListSection, groupKey(key.base, n), value.size());
                saved = false;
                break;
            }
        }
    }
    if (saved) {
        for (int n = 0; n < rows; ++n) {
            for (const GroupKey& key : kGroupKeys)
                profile.write(kListSection, groupKey(key.base, n), list.cell(n, key.column));
            // Written only when set; an emptied one (or one a deleted row
            // left to this group) goes.
            const std::string& serverPath = list.cell(n, kServerPathKey.column);
            const std::string key = groupKey(kServerPathKey.base, n);
            if (!serverPath.empty())
                profile.write(kListSection, key, serverPath);
            else
                profile.remove(kListSection, key);
        }
        profile.write(kListSection, kTotalCountKey, std::to_string(rows));
        // A group beyond the count belongs to a deleted row: its keys (a
        // stored password among them) go with it.
        for (const std::string& key : profile.keys(kListSection)) {
            if (const auto index = GroupIndex(key); index && *index >= rows)
                profile.remove(kListSection, key);
        }
        saved = profile.save(iniPath, &error);
    }
    // The line says what happened: it follows the save.
    log.Write(saved ? std::string(kSavedListMessage) : "Saving the database configurations failed. " + error);
    if (!saved && errorText)
        *errorText = error;
    return saved;
}

bool LoadMailSettings(const std::string& iniPath, MailSettings& settings, std::string* error)
{
    try {
        MailSettings loaded = settings;
        const bool ok = loadMailSettings(iniPath, loaded, error);
        settings = std::move(loaded);
        return ok;
    } catch (const std::bad_alloc&) {
        if (error)
            *error = outOfMemoryText(iniPath);
        return false;
    }
}

namespace {

bool loadMailSettings(const std::string& iniPath, MailSettings& settings, std::string* error)
{
    bool loaded = false;
    const ProfileFile profile = loadOrEmpty(iniPath, &loaded, error);
    if (auto problem = mailValueTooLong(profile, iniPath)) {
        if (error)
            *error = std::move(*problem);
        return false;
    }
    ReadMailSettings(profile, settings);
    return loaded;
}

} // namespace

void ReadMailSettings(const ProfileFile& profile, MailSettings& settings)
{
    auto take = [&profile](const char* key, std::string& field) {
        std::string value = profile.read(kMailSection, key);
        if (!value.empty())
            field = std::move(value);
    };

    // The server address counts only together with a port.
    const std::string portText = profile.read(kMailSection, kPortKey);
    if (!portText.empty()) {
        long long port = LeadingInteger(portText);
        settings.port = port >= 0 && port <= kMaxPort ? static_cast<std::uint32_t>(port) : 0;
        take(kServerAddressKey, settings.serverAddress);
    }
    take(kSecurityKey, settings.security);
    take(kAccountKey, settings.account);

    const std::string storedPassword = profile.read(kMailSection, kPasswordKey);
    if (!storedPassword.empty()) {
        PasswordCodec codec;
        std::string password;
        if (codec.Decode(storedPassword, password) == PasswordCodec::kOk)
            settings.password = std::move(password);
    }

    take(kRecipientKey, settings.recipient);
    take(kSubjectKey, settings.subject);
    take(kSenderNameKey, settings.mailingServerName);
    take(kMessageKey, settings.messageText);

    if (const auto onFailure = profile.find(kOptionsSection, kMailOnFailureKey))
        settings.mailOnFailure = IsTrueOption(*onFailure);
}

bool SaveMailSettings(const std::string& iniPath, const MailSettings& settings, const std::string& portText,
                      std::string* error)
{
    PasswordCodec codec;
    std::string encodedPassword;
    const bool passwordEncoded = codec.Encode(settings.password, encodedPassword) == PasswordCodec::kOk;

    const std::pair<const char*, const std::string*> values[] = {
        {kServerAddressKey, &settings.serverAddress}, {kPortKey, &portText},
        {kAccountKey, &settings.account},             {kPasswordKey, passwordEncoded ? &encodedPassword : nullptr},
        {kRecipientKey, &settings.recipient},         {kSecurityKey, &settings.security},
        {kSubjectKey, &settings.subject},             {kSenderNameKey, &settings.mailingServerName},
        {kMessageKey, &settings.messageText},
    };
    for (const auto& [key, value] : values) {
        if (value && value->size() > ProfileFile::kMaxValueLength) {
            if (error)
                *error = ValueTooLongText(iniPath, kMailSection, key, value->size());
            return false;
        }
    }
    return UpdateProfileFile(iniPath, [&](ProfileFile& profile) {
        profile.write(kMailSection, kServerAddressKey, settings.serverAddress);
        profile.write(kMailSection, kPortKey, portText);
        profile.write(kMailSection, kAccountKey, settings.account);
        if (passwordEncoded)
            profile.write(kMailSection, kPasswordKey, encodedPassword);
        profile.write(kMailSection, kRecipientKey, settings.recipient);
        profile.write(kMailSection, kSecurityKey, settings.security);
        profile.write(kMailSection, kSubjectKey, settings.subject);
        profile.write(kMailSection, kSenderNameKey, settings.mailingServerName);
        profile.write(kMailSection, kMessageKey, settings.messageText);
        if (settings.mailOnFailure || profile.find(kOptionsSection, kMailOnFailureKey))
            profile.write(kOptionsSection, kMailOnFailureKey, settings.mailOnFailure ? kTrue : kFalse);
    }, error);
}

} // namespace config
