#pragma once

#include "zip/ParallelDeflate.h"
#include "zip/ZipBackupFile.h"

#include <stop_token>
#include <string>

namespace zip {

// The deflate engine and block size used for a level.
DeflateOptions deflateOptionsFor(Level level);

// Where the archive is written before it gets its name.
enum class TempFile {
    Unnamed, // an O_TMPFILE file in the archive's folder, Named where the file system has none
    Named,   // ".<archive name>.XXXXXX" in the archive's folder
};

// Writes `archive` as a zip archive holding `source` as its one deflated
// entry, named after the source without folders. Returns an empty string on
// success and otherwise a sentence for the log saying what failed and why.
//
// Order of work: the entry is written into a temporary file in the
// archive's folder, its header patched with the CRC-32 and sizes, the
// central directory appended, and the file flushed to disk (fsync). Only
// then is it renamed to `archive`, replacing any file of that name, and the
// folder flushed. On any failure the temporary file is removed and a file
// already under the archive's name is left as it was, so a partial archive
// never carries the archive's name; an unnamed temporary file does not even
// outlive a killed process, and named ones a killed process leaves are
// removed by the next write of the same archive. The source is only read.
// It must not change meanwhile: a change of its size or modification time
// during the work is a failure. So is a stop request, noticed before each
// block is written.
//
// Blocks the calling thread, which reads and writes; compression runs on
// worker threads that are joined before it returns. Never throws.
std::string writeSingleEntryZip(const std::string& source, const std::string& archive,
                                const DeflateOptions& options, const ProgressFn& progress = {},
                                std::stop_token stop = {}, TempFile temp = TempFile::Unnamed);

} // namespace zip
