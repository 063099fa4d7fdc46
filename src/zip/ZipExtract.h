#pragma once

#include <cstdint>
#include <stop_token>
#include <string>

namespace zip {

// Unpacks the one entry of a backup archive (as ZipBackupFile writes it, or
// any standard zip with a single stored or deflated file, zip64 included)
// into `target`, a file that must not exist yet; it is created with mode
// 0640, so that the group of its folder (the database server's, in a backup
// folder set up as documented) may read it. The entry's size and CRC-32 are
// checked against the archive's central directory. On any failure (not a
// zip, more or fewer than one entry, encrypted, another compression method,
// damaged data, a full disk, a stop request) returns false with the reason
// in `error` and leaves no `target` behind. Blocks the calling thread.
bool ExtractSingleEntry(const std::string& archive, const std::string& target, std::string& error,
                        std::stop_token stop = {}, std::uint64_t* bytesWritten = nullptr);

} // namespace zip
