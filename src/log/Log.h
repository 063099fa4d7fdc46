#pragma once

#include "text/MessageBox.h"

#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace logging {

// The single writer of the append-only event log (BackupLog.log).
//
// Each event is one line: the local time as "%m/%d/%y %H:%M:%S  ", the
// message, then "\r\n". The file is opened once by the constructor (created
// when missing, never truncated) and locked against writers in other
// processes; a second process in the same folder cannot open it and reports
// "Unable to open Log file for writing" through the owner's callback.
//
// Write() may be called from any thread. The line is formatted before the
// log's mutex is taken and written with a single write call under it, so
// lines never interleave. The mutex is always the innermost lock a caller
// holds. Write() never throws and reports nothing: a failed write loses the
// line and nothing else.
class Log {
public:
    // The current time; tests pass a fixed one.
    using ClockFn = std::function<std::time_t()>;

    static constexpr const char* kDefaultFileName = "BackupLog.log";
    static constexpr const char* kOpenFailedText = "Unable to open Log file for writing";
    static constexpr const char* kOpenFailedCaption = "Log";

    explicit Log(std::string fileName, text::MessageBoxFn onOpenFailure = {}, ClockFn clock = {});
    virtual ~Log();

    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    void Write(std::string_view message);

    bool isOpen() const { return m_fd >= 0; }
    const std::string& fileName() const { return m_fileName; }

private:
    std::string m_fileName;
    ClockFn m_clock;
    int m_fd = -1;
    std::mutex m_writeMutex; // guards the write call on m_fd
};

} // namespace logging
