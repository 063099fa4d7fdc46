#include "zip/ZipBackupFile.h"

#include "log/Log.h"
#include "zip/ZipWriter.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace zip {

namespace {

bool equalsIgnoringCase(const std::string& text, const char* upper)
{
    const std::string_view expected(upper);
    return text.size() == expected.size()
        && std::equal(text.begin(), text.end(), expected.begin(),
                      [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
}

} // namespace

Level levelFromSetting(const std::string& text)
{
    if (equalsIgnoringCase(text, "FAST"))
        return Level::Fast;
    if (equalsIgnoringCase(text, "SMALLEST"))
        return Level::Smallest;
    return Level::Balanced;
}

bool ZipBackupFile(const std::string& source, const std::string& archive, logging::Log& log, Level level,
                   const ProgressFn& progress, std::stop_token stop)
{
    log.Write("Creating zip file " + archive);
    const std::string error = writeSingleEntryZip(source, archive, deflateOptionsFor(level), progress, stop);
    if (!error.empty()) {
        log.Write(error);
        return false;
    }
    return true;
}

} // namespace zip
