#pragma once

#include <functional>
#include <string>

namespace logging { class Log; }

namespace zip {

// How hard to compress. Fast is the default: several times the speed of
// zlib at a slightly larger archive. Smallest trades speed for size.
enum class Level { Fast, Smallest };

// Called on the compressing thread with the share of the source read so far
// (0..100), at most once per percent. Must not block.
using ProgressFn = std::function<void(int percent)>;

// Writes the 22-byte empty archive (an end-of-central-directory record and
// nothing else). False when the file cannot be opened or written.
bool WriteEmptyZip(const std::string& path);

// Compresses `source` into `archive`, a standard zip archive whose one entry
// is the source file under its name without folders (zip64 past 4 GiB).
// Logs "Creating zip file " + archive. Returns true only when the archive is
// complete and flushed to disk and its entry's size and CRC-32 match the
// source; on any failure returns false, logs a second line saying why, leaves
// the source untouched and the archive as the 22-byte empty archive.
// Blocks the calling thread; uses every core for the deflate work.
bool ZipBackupFile(const std::string& source, const std::string& archive, logging::Log& log,
                   Level level = Level::Fast, const ProgressFn& progress = {});

} // namespace zip
