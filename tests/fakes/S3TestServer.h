#pragma once

#include "fakes/ServerProcess.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace fakes {

// One request as the S3 test server answered it (its journal).
struct S3Request {
    std::string method;
    std::string url;        // path and query as sent
    std::string key;        // decoded
    std::string partNumber; // empty unless a part
    std::string uploadId;
    int status = 0;         // 0: no answer (the connection was dropped or went away)
    std::string code;       // the error's code, when it answered one
    std::string signature;  // "ok" or the refusal's code
    std::uint64_t bytes = 0;
    bool dropped = false;   // the server closed the connection on request
    int concurrentUploads = 0;
};

// An object as the server stores it.
struct S3Object {
    std::string key;
    std::uint64_t size = 0;
    std::string path; // the file holding its bytes
};

// The S3-compatible test server (tools/s3server/s3_server.js: s3rver from the
// npm registry behind a Signature Version 4 check and the operations s3rver
// lacks), run as a child process on 127.0.0.1 with a free port, over http or
// with TLS. Run as root, it becomes the account `nobody` once it listens.
//
// start() blocks until the server listens (at most 30 s; on failure error()
// says why); stop() and the destructor end it by its process id and remove
// its files. requests() reads the journal, which holds a request once it was
// answered or dropped; objects() and unfinishedUploads() read what the
// server stores, from its folder. Not thread-safe; one thread drives it.
class S3TestServer {
public:
    struct Options {
        std::string bucket = "backups";
        // Access keys and their secrets the server accepts.
        std::vector<std::pair<std::string, std::string>> credentials{
            {"AKIACORVELLATEST", "Secret/Key+With=Signs \xC3\x84"}};
        std::string region = "us-east-1";
        // A JSON array of faults; see the script's header.
        std::string faults = "[]";
        std::uint64_t minPartSize = 5 * 1024 * 1024;
        bool tls = false;
        // Empty: "nobody" when the tests run as root, else the tests' own account.
        std::string runAs;
    };

    S3TestServer();
    explicit S3TestServer(Options options);
    ~S3TestServer();

    S3TestServer(const S3TestServer&) = delete;
    S3TestServer& operator=(const S3TestServer&) = delete;

    bool start();
    void stop();

    bool isRunning() const { return m_process.pid() > 0; }
    pid_t pid() const { return m_process.pid(); }
    int port() const { return m_port; }
    const std::string& error() const { return m_error; }
    const Options& options() const { return m_options; }

    // "http://127.0.0.1:<port>" (https with TLS).
    std::string endpoint() const;
    // The CA that signed the certificate of a TLS server.
    std::string caFile() const;

    std::vector<S3Request> requests() const;
    // Stored objects, sorted by key.
    std::vector<S3Object> objects() const;
    // Keys of the multipart uploads started and neither completed nor aborted.
    std::vector<std::string> unfinishedUploads() const;

    static std::string scriptPath();

private:
    Options m_options;
    ServerProcess m_process;
    int m_port = 0;
    std::string m_folder;     // ours: credentials and journal
    std::string m_dataFolder; // the server's: staging and store
    std::string m_error;
    struct Certificates;
    Certificates* m_certificates = nullptr;
};

// Lower-case hex SHA-256 of a file's bytes; empty when it cannot be read.
std::string FileSha256(const std::string& path);

} // namespace fakes
