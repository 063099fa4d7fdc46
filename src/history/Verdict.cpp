#include "history/Verdict.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>
#include <utility>

namespace history {

namespace {

constexpr Millis kMinute = 60 * 1000;
constexpr Millis kHour = 60 * kMinute;
constexpr Millis kDay = 24 * kHour;
// A database is overdue without a good backup within twice its interval plus this.
constexpr Millis kOverdueSlack = 10 * kMinute;
// The check line names at most this many databases; the rest are counted.
constexpr std::size_t kNamedProblems = 5;
// The longest reason the status table quotes from a failed run.
constexpr std::size_t kReasonLength = 300;

Millis IntervalOf(const WatchedDatabase& database)
{
    return std::max(1, database.intervalMinutes) * kMinute;
}

// When a finished run happened, for its age: its end, or its start when it
// has none (interrupted).
Millis FinishedAt(const RunRecord& run)
{
    return run.endedAt.value_or(run.startedAt);
}

// Display width of UTF-8 text: one column per character.
std::size_t Width(std::string_view text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The text on one line: line breaks and tabs become blanks.
std::string OneLine(std::string text)
{
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
    return text;
}

std::string Shortened(std::string text, std::size_t length)
{
    if (text.size() <= length)
        return text;
    std::size_t cut = length;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    text.resize(cut);
    return text + "...";
}

// Text before the check line's performance data: on one line, and without
// the '|' that would begin that data early.
std::string PluginText(std::string text)
{
    text = OneLine(std::move(text));
    std::replace(text.begin(), text.end(), '|', '/');
    return text;
}

} // namespace

std::string_view StateName(CheckState state)
{
    switch (state) {
    case CheckState::Ok: return "OK";
    case CheckState::Warning: return "WARNING";
    case CheckState::Critical: return "CRITICAL";
    case CheckState::Unknown: return "UNKNOWN";
    }
    return "UNKNOWN";
}

std::string_view HealthText(Health health)
{
    switch (health) {
    case Health::Ok: return "ok";
    case Health::Pending: return "first backup pending";
    case Health::Overdue: return "overdue";
    case Health::Failed: return "failed";
    case Health::Never: return "no good backup";
    }
    return "";
}

std::string AgeText(Millis span)
{
    span = std::max<Millis>(span, 0);
    if (span < kHour)
        return std::to_string(std::max<Millis>(1, span / kMinute)) + " min";
    if (span < 2 * kDay)
        return std::to_string(span / kHour) + " h";
    return std::to_string(span / kDay) + " d";
}

std::string LocalTimeText(Millis at)
{
    const std::time_t seconds = static_cast<std::time_t>(at / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", &local);
    return buffer;
}

Verdict Evaluate(const std::vector<WatchedDatabase>& watched, const std::vector<DatabaseSummary>& known, Millis now)
{
    std::map<std::pair<std::string, std::string>, const DatabaseSummary*> byKey;
    for (const DatabaseSummary& summary : known)
        byKey[{summary.database, summary.server}] = &summary;
    // A name listed with more than one server is named with its server.
    std::map<std::string, std::set<std::string>> serversOf;
    for (const WatchedDatabase& database : watched)
        serversOf[database.database].insert(database.server);

    Verdict verdict;
    std::set<std::pair<std::string, std::string>> seen;
    for (const WatchedDatabase& database : watched) {
        if (!seen.insert({database.database, database.server}).second)
            continue;
        DatabaseVerdict entry;
        entry.watched = database;
        entry.summary.database = database.database;
        entry.summary.server = database.server;
        if (const auto found = byKey.find({database.database, database.server}); found != byKey.end())
            entry.summary = *found->second;
        const DatabaseSummary& summary = entry.summary;
        const Millis interval = IntervalOf(database);
        if (summary.lastRun)
            entry.nextStart = summary.lastRun->startedAt + interval;

        const std::string name = serversOf[database.database].size() > 1
            ? database.database + " (" + database.server + ")"
            : database.database;
        if (summary.lastFinished && summary.lastFinished->outcome == Outcome::Failed) {
            entry.health = Health::Failed;
            entry.problem = name + ": last run failed " + AgeText(now - FinishedAt(*summary.lastFinished)) + " ago";
        } else if (!summary.lastSuccess) {
            if (!summary.firstRunAt) {
                entry.health = Health::Never;
                entry.problem = name + ": never backed up";
            } else if (now - *summary.firstRunAt > interval) {
                entry.health = Health::Never;
                entry.problem
                    = name + ": no good backup since its first run " + AgeText(now - *summary.firstRunAt) + " ago";
            } else {
                entry.health = Health::Pending;
            }
        } else if (now - FinishedAt(*summary.lastSuccess) > 2 * interval + kOverdueSlack) {
            entry.health = Health::Overdue;
            entry.problem = name + ": last good backup " + AgeText(now - FinishedAt(*summary.lastSuccess)) + " ago";
        } else {
            entry.health = Health::Ok;
        }

        switch (entry.health) {
        case Health::Ok:
        case Health::Pending:
            ++verdict.ok;
            break;
        case Health::Overdue:
            ++verdict.overdue;
            break;
        case Health::Failed:
        case Health::Never:
            ++verdict.failed;
            break;
        }
        verdict.databases.push_back(std::move(entry));
    }
    verdict.state = verdict.failed > 0 ? CheckState::Critical
        : verdict.overdue > 0          ? CheckState::Warning
                                       : CheckState::Ok;
    return verdict;
}

std::string CheckLine(const Verdict& verdict)
{
    std::vector<const DatabaseVerdict*> problems;
    for (const Health group : {Health::Failed, Health::Never, Health::Overdue}) {
        for (const DatabaseVerdict& database : verdict.databases) {
            if (database.health == group)
                problems.push_back(&database);
        }
    }
    std::string line = "CORVELLA " + std::string(StateName(verdict.state)) + " - ";
    for (std::size_t i = 0; i < problems.size() && i < kNamedProblems; ++i)
        line += PluginText(problems[i]->problem) + "; ";
    if (problems.size() > kNamedProblems)
        line += std::to_string(problems.size() - kNamedProblems) + " more; ";
    line += std::to_string(verdict.ok) + " OK";
    line += " | ok=" + std::to_string(verdict.ok) + " failed=" + std::to_string(verdict.failed)
        + " overdue=" + std::to_string(verdict.overdue);
    return line;
}

std::string UnknownLine(const std::string& reason)
{
    return "CORVELLA UNKNOWN - " + PluginText(reason);
}

std::string StatusTable(const Verdict& verdict, Millis now)
{
    using Line = std::vector<std::string>;
    std::vector<Line> lines = {{"Database", "Server", "Last good backup", "Last result", "Next start", "State"}};
    std::vector<std::string> reasons;
    for (const DatabaseVerdict& database : verdict.databases) {
        const DatabaseSummary& summary = database.summary;
        std::string good = "never";
        if (summary.lastSuccess) {
            const Millis at = FinishedAt(*summary.lastSuccess);
            good = LocalTimeText(at) + " (" + AgeText(now - at) + " ago)";
        }
        std::string last = "no run yet";
        if (summary.lastRun && summary.lastRun->running) {
            last = "running for " + AgeText(now - summary.lastRun->startedAt);
        } else if (summary.lastFinished) {
            const RunRecord& run = *summary.lastFinished;
            last = std::string(OutcomeName(run.outcome)) + " " + AgeText(now - FinishedAt(run)) + " ago";
            if (run.outcome != Outcome::Completed) {
                const std::string& why = run.errorText.empty() ? run.statusText : run.errorText;
                if (!why.empty())
                    reasons.push_back(database.watched.database + " (" + database.watched.server
                                      + "): " + Shortened(OneLine(why), kReasonLength));
            }
        }
        std::string next = "-";
        if (database.nextStart)
            next = *database.nextStart <= now ? "due" : LocalTimeText(*database.nextStart);
        lines.push_back({OneLine(database.watched.database), OneLine(database.watched.server), good, last, next,
                         std::string(HealthText(database.health))});
    }

    std::vector<std::size_t> widths(lines.front().size(), 0);
    for (const Line& line : lines) {
        for (std::size_t c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], Width(line[c]));
    }
    std::string out;
    const auto write = [&](const Line& line) {
        std::string text;
        for (std::size_t c = 0; c < line.size(); ++c) {
            text += line[c];
            if (c + 1 < line.size())
                text += std::string(widths[c] - Width(line[c]) + 2, ' ');
        }
        text.erase(text.find_last_not_of(' ') + 1);
        out += text + '\n';
    };
    write(lines.front());
    Line rule;
    for (std::size_t width : widths)
        rule.push_back(std::string(width, '-'));
    write(rule);
    for (std::size_t i = 1; i < lines.size(); ++i)
        write(lines[i]);
    if (!reasons.empty()) {
        out += "\nWhy the last run did not complete:\n";
        for (const std::string& reason : reasons)
            out += "  " + reason + '\n';
    }
    out += '\n' + CheckLine(verdict) + '\n';
    return out;
}

} // namespace history
