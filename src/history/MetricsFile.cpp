#include "history/MetricsFile.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace history {

namespace {

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

constexpr Family kLastSuccess{"corvella_last_success_timestamp_seconds", "gauge",
                              "When the newest completed backup of the database ended (Unix time; 0 when none)."};
constexpr Family kLastRun{"corvella_last_run_timestamp_seconds", "gauge",
                          "When the newest finished run of the database started (Unix time)."};
constexpr Family kLastRunSuccess{"corvella_last_run_success", "gauge",
                                 "1 when the newest finished run of the database completed, else 0."};
constexpr Family kLastDuration{"corvella_last_run_duration_seconds", "gauge",
                               "How long the newest finished run of the database took."};
constexpr Family kLastBackupBytes{"corvella_last_backup_bytes", "gauge",
                                  "Size of the backup file of the newest completed run."};
constexpr Family kLastArchiveBytes{"corvella_last_archive_bytes", "gauge",
                                   "Size of the zip archive of the newest completed run (0 when not zipped)."};
constexpr Family kRunsTotal{"corvella_runs_total", "counter", "Backup runs of the database that ended, by result."};

constexpr Outcome kCountedOutcomes[]
    = {Outcome::Completed, Outcome::Failed, Outcome::Cancelled, Outcome::Stopped, Outcome::Interrupted};

// Valid UTF-8 kept, anything else replaced by U+FFFD, one per bad byte.
std::string ValidUtf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && length > 1) {
            // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
            unsigned code = byte & (0x7F >> length);
            for (std::size_t k = 1; k < length; ++k)
                code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            const unsigned smallest[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = code >= smallest[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        }
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string LabelValue(const std::string& text)
{
    std::string out;
    for (char c : ValidUtf8(text)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string Seconds(Millis millis)
{
    char buffer[32];
    if (millis % 1000 == 0)
        std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(millis / 1000));
    else
        std::snprintf(buffer, sizeof buffer, "%lld.%03lld", static_cast<long long>(millis / 1000),
                      static_cast<long long>(millis % 1000));
    return buffer;
}

} // namespace

std::string RenderMetrics(const std::vector<WatchedDatabase>& watched, const std::vector<DatabaseSummary>& known)
{
    std::map<std::pair<std::string, std::string>, const DatabaseSummary*> byKey;
    for (const DatabaseSummary& summary : known)
        byKey[{summary.database, summary.server}] = &summary;

    // Each listed database once, with what the history knows of it.
    static const DatabaseSummary kNothing;
    struct Entry {
        std::string labels;
        const DatabaseSummary* summary;
    };
    std::vector<Entry> entries;
    entries.reserve(watched.size());
    std::set<std::pair<std::string, std::string>> seen;
    for (const WatchedDatabase& database : watched) {
        if (!seen.insert({database.database, database.server}).second)
            continue;
        const auto found = byKey.find({database.database, database.server});
        entries.push_back({"database=\"" + LabelValue(database.database) + "\",server=\"" + LabelValue(database.server)
                               + "\"",
                           found != byKey.end() ? found->second : &kNothing});
    }

    std::string out;
    out.reserve(entries.size() * 1024 + 2048);
    const auto family = [&](const Family& f, auto&& samples) {
        out.append("# HELP ").append(f.name).append(" ").append(f.help).append("\n");
        out.append("# TYPE ").append(f.name).append(" ").append(f.type).append("\n");
        for (const Entry& entry : entries)
            samples(*entry.summary, entry.labels);
    };
    const auto sample = [&](const Family& f, const std::string& labels, std::string_view extra, const std::string& value) {
        out.append(f.name).append("{").append(labels).append(extra).append("} ").append(value).append("\n");
    };

    family(kLastSuccess, [&](const DatabaseSummary& e, const std::string& labels) {
        const auto& success = e.lastSuccess;
        sample(kLastSuccess, labels, {}, success ? Seconds(success->endedAt.value_or(success->startedAt)) : "0");
    });
    family(kLastRun, [&](const DatabaseSummary& e, const std::string& labels) {
        if (e.lastFinished)
            sample(kLastRun, labels, {}, Seconds(e.lastFinished->startedAt));
    });
    family(kLastRunSuccess, [&](const DatabaseSummary& e, const std::string& labels) {
        if (e.lastFinished)
            sample(kLastRunSuccess, labels, {}, e.lastFinished->outcome == Outcome::Completed ? "1" : "0");
    });
    family(kLastDuration, [&](const DatabaseSummary& e, const std::string& labels) {
        if (e.lastFinished)
            sample(kLastDuration, labels, {}, Seconds(e.lastFinished->duration().value_or(0)));
    });
    family(kLastBackupBytes, [&](const DatabaseSummary& e, const std::string& labels) {
        if (e.lastSuccess)
            sample(kLastBackupBytes, labels, {}, std::to_string(e.lastSuccess->backupBytes));
    });
    family(kLastArchiveBytes, [&](const DatabaseSummary& e, const std::string& labels) {
        if (e.lastSuccess)
            sample(kLastArchiveBytes, labels, {}, std::to_string(e.lastSuccess->archiveBytes));
    });
    family(kRunsTotal, [&](const DatabaseSummary& e, const std::string& labels) {
        for (Outcome outcome : kCountedOutcomes) {
            const std::string extra = ",result=\"" + std::string(OutcomeName(outcome)) + "\"";
            sample(kRunsTotal, labels, extra, std::to_string(e.totals[static_cast<int>(outcome)]));
        }
    });
    return out;
}

bool WriteMetricsFile(const std::string& path, const std::string& text, std::string& error)
{
    const std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write the metrics file '" + temporary + "': " + std::strerror(errno);
        return false;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write the metrics file '" + temporary + "': " + std::strerror(n < 0 ? errno : ENOSPC);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    // The umask must not hide the file from the collector's account.
    if (::fchmod(fd, 0644) != 0) {
        error = "cannot write the metrics file '" + temporary + "': " + std::strerror(errno);
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::close(fd) != 0) {
        error = "cannot write the metrics file '" + temporary + "': " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace the metrics file '" + path + "': " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace history
