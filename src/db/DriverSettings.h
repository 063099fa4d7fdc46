#pragma once

// The driver settings file behind connections that must be encrypted.
//
// FreeTDS checks a server's certificate only for a server defined in a
// section of its settings file (freetds.conf) and reached with SERVERNAME=;
// no connection-string keyword makes it check. So the program owns a private
// settings file: PrepareDriverSettings creates it and points FREETDSCONF at
// it, and a connection that requires encryption adds the section it needs
// and connects by that section's name. Connections that do not require
// encryption name SERVER= and PORT=, for which FreeTDS reads no settings
// file at all, so the file changes nothing for them.
//
// Design, and why:
// - FREETDSCONF is set once, by main, before any thread exists: setenv is
//   not safe while another thread may call getenv, and FreeTDS reads the
//   variable at every connect, on the backup thread and on the thread that
//   tests a connection for the list.
// - The file is an anonymous memory file (memfd, mode 0600) that FreeTDS
//   opens as /proc/<pid>/fd/<n>: nothing reaches the disk, only the
//   program's own user can open it, and it is gone when the process ends,
//   however it ends.
// - Sections are only appended, under a mutex, each under a fixed-width
//   name used once, and a section with the same content is reused. A connect
//   that reads the file while another thread appends finds its own section
//   whole (it was written before that connect began); at most the last,
//   unfinished section is cut, and no connect looks for that one.
// - A section for a server defined in no other file gets the [global]
//   settings of every file FreeTDS would otherwise read ($FREETDSCONF as it
//   was at start, $FREETDS/etc/freetds.conf, ~/.freetds.conf,
//   /etc/freetds/freetds.conf, in that order, later ones winning), read again
//   for every section, so the administrators' global settings keep working
//   and a change to them applies to the next connection. The section's own
//   lines follow and win over them.

#include <string>

namespace db {

// Creates the private settings file and points FREETDSCONF at it. Call once,
// first thing in main, before any other thread exists; later calls only
// repeat the first answer. False, with the reason, when the file cannot be
// made: connections that require encryption then fail with that reason.
bool PrepareDriverSettings(std::string* error = nullptr);

// What FreeTDS is to do for one connection that requires encryption.
struct EncryptedServerSection {
    std::string host;       // name or address; the name the certificate is checked for
    std::string instance;   // empty: the default instance
    std::string port;       // empty: the instance's port, asked of the server's browser service
    std::string tdsVersion;
    // "system": the system's trusted certificates; a path: that PEM file;
    // empty: the certificate is not checked (still encrypted).
    std::string caFile;
};

// The name of the section that holds `section` (connect with SERVERNAME=
// and that name); the section is added when it is new. False, with a text
// for the operator in `error`, when the settings file was not prepared or a
// value cannot be written into it. Any thread; blocks only on reading the
// administrators' settings files.
bool RequireEncryptionSection(const EncryptedServerSection& section, std::string& sectionName, std::string& error);

} // namespace db
