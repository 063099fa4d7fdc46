// Load and save of a database list of 1,000 rows in BackupConfig.ini, as the
// main window does at start-up and on "Save Configurations". Each should stay
// under 50 ms. Files live in a fresh folder under /tmp, removed at the end.
//
// LoadOddFile reads settings files of the largest size allowed (8 MiB) that
// hold one database and then nothing but blank lines, "[]" lines or repeated
// keys; its counter heap_per_file_byte is what the parsed file holds on the
// heap for each byte of the file, and should stay below 2.

#include "config/DatabaseList.h"
#include "config/ProfileFile.h"
#include "config/SettingsFile.h"
#include "log/Log.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <string>

namespace {

constexpr int kDatabases = 1000;

class Folder {
public:
    Folder()
    {
        std::string pattern = "/tmp/corvella-bench-XXXXXX";
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~Folder() { std::filesystem::remove_all(m_path); }
    std::string file(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void fill(config::DatabaseList& list, int generation)
{
    for (int i = 0; i < kDatabases; ++i) {
        int r = list.insertRow(list.rowCount());
        list.setCell(r, config::ColSerial, std::to_string(r + 1));
        list.setCell(r, config::ColDatabaseUrl, "sql" + std::to_string(i % 17) + ".corp.example");
        list.setCell(r, config::ColDatabaseName, "Database_" + std::to_string(i) + "_" + std::to_string(generation));
        list.setCell(r, config::ColUserName, "backup_operator");
        list.setCell(r, config::ColEncodedPassword, "moC7vPygpbE=");
        list.setCell(r, config::ColInterval, std::to_string(1 + i % 48) + (i % 2 ? " Hours" : " Minutes"));
        list.setCell(r, config::ColBackupPath, "/srv/backups/cluster" + std::to_string(i % 5));
        list.setCell(r, config::ColZip, i % 3 ? "True" : "False");
        list.setCell(r, config::ColEmail, i % 4 ? "False" : "True");
        list.setCell(r, config::ColKeepOld, i % 5 ? "False" : "True");
    }
}

void LoadList(benchmark::State& state)
{
    Folder folder;
    logging::Log log(folder.file("BackupLog.log"));
    config::DatabaseList list;
    fill(list, 0);
    config::SaveDatabaseList(folder.file("BackupConfig.ini"), list, log);
    for (auto _ : state) {
        config::DatabaseList loaded;
        config::LoadDatabaseList(folder.file("BackupConfig.ini"), loaded);
        if (loaded.rowCount() != kDatabases)
            state.SkipWithError("list did not load whole");
        benchmark::DoNotOptimize(loaded);
    }
}

// Every save rewrites all 9,001 values of an existing file, changed each time.
void SaveList(benchmark::State& state)
{
    Folder folder;
    logging::Log log(folder.file("BackupLog.log"));
    config::DatabaseList lists[2];
    fill(lists[0], 0);
    fill(lists[1], 1);
    config::SaveDatabaseList(folder.file("BackupConfig.ini"), lists[0], log);
    int generation = 0;
    for (auto _ : state) {
        if (!config::SaveDatabaseList(folder.file("BackupConfig.ini"), lists[++generation % 2], log))
            state.SkipWithError("save failed");
    }
}

// Argument: 0 blank lines, 1 "[]" lines, 2 a repeated key.
void LoadOddFile(benchmark::State& state)
{
    static const char* const kLines[] = {"\r\n", "[]\r\n", "DB_NAME_0=again\r\n"};
    const std::string line = kLines[state.range(0)];
    Folder folder;
    std::string text = "[DBBackInfo]\r\nTOTAL_COUNT=1\r\nDB_NAME_0=Sales\r\n";
    while (text.size() + line.size() <= config::ProfileFile::kMaxFileSize)
        text += line;
    const std::string path = folder.file("BackupConfig.ini");
    std::ofstream(path, std::ios::binary) << text;
    double perByte = 0;
    for (auto _ : state) {
        const struct mallinfo2 before = ::mallinfo2();
        config::ProfileFile profile;
        config::ProfileFile::load(path, profile);
        const struct mallinfo2 after = ::mallinfo2();
        perByte = static_cast<double>((after.uordblks + after.hblkhd) - (before.uordblks + before.hblkhd))
            / static_cast<double>(text.size());
        if (profile.read("DBBackInfo", "DB_NAME_0") != "Sales")
            state.SkipWithError("file did not load");
    }
    state.counters["heap_per_file_byte"] = perByte;
}

} // namespace

BENCHMARK(LoadOddFile)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(LoadList)->Unit(benchmark::kMillisecond);
BENCHMARK(SaveList)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
