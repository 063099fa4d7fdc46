#pragma once

#include <functional>
#include <stop_token>
#include <string>

namespace logging { class Log; }

namespace zip {

// How hard to compress. Balanced is the default: several times the speed of
// `zip -6` at an archive no larger. Fast trades a few percent of size for
// speed, Smallest speed for size.
enum class Level { Balanced, Fast, Smallest };

// The level a ZIP_COMPRESSION setting names: BALANCED, FAST or SMALLEST in
// any case; anything else, or nothing, is Balanced.
Level levelFromSetting(const std::string& text);

// Called on the compressing thread with the share of the source read so far
// (0..100), at most once per percent. Must not block.
using ProgressFn = std::function<void(int percent)>;

// Writes the 22-byte empty archive (an end-of-central-directory record and
// nothing else) under `path`, replacing any file but not a folder of that
// name, by the same write-then-rename as ZipBackupFile(). False when the file
// cannot be created or written; a file already there is then left as it was.
bool WriteEmptyZip(const std::string& path);

// Compresses `source` into `archive`, a standard zip archive whose one entry
// is the source file under its name without folders (zip64 past 4 GiB).
// Logs "Creating zip file " + archive. The archive is written under a
// temporary name in its folder and renamed to `archive` only once it is
// complete and flushed to disk and its entry's size and CRC-32 match the
// source; then it returns true. On any failure (the source unreadable or
// changing, a write error such as a full disk or a file size limit, ...)
// returns false, logs a second line saying why, and leaves nothing behind: no
// temporary file, and under `archive` whatever was there before, if anything.
// The source is never changed. A stop request ends the work within a block's
// time, as a failure. Blocks the calling thread; uses every core for the
// deflate work.
bool ZipBackupFile(const std::string& source, const std::string& archive, logging::Log& log,
                   Level level = Level::Balanced, const ProgressFn& progress = {}, std::stop_token stop = {});

} // namespace zip
