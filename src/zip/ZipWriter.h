#pragma once

#include "zip/ParallelDeflate.h"
#include "zip/ZipBackupFile.h"

#include <string>

namespace zip {

// The deflate engine and block size used for a level.
DeflateOptions deflateOptionsFor(Level level);

// Writes `archive` as a zip archive holding `source` as its one deflated
// entry, named after the source without folders. Returns an empty string on
// success and otherwise a sentence for the log saying what failed and why.
//
// Order of work: the archive is first cut to the 22-byte empty archive
// (replacing any file of that name), then the entry is written into it, its
// header patched with the CRC-32 and sizes, the central directory appended,
// and the file flushed to disk (fsync) and closed. The source is only read.
// On any failure the archive is left as the 22-byte empty archive, or
// removed when even that cannot be written, so a partial archive never
// remains. The source must not change meanwhile: a change of its size or
// modification time during the work is a failure.
//
// Blocks the calling thread, which reads and writes; compression runs on
// worker threads that are joined before it returns. Never throws.
std::string writeSingleEntryZip(const std::string& source, const std::string& archive,
                                const DeflateOptions& options, const ProgressFn& progress = {});

} // namespace zip
