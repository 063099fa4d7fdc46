#include "fakes/TestCertificates.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace fakes {

namespace {

// Runs openssl with its output appended to `log`; true on exit code 0.
bool RunOpenssl(std::vector<std::string> args, const std::string& log)
{
    args.insert(args.begin(), "openssl");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, STDIN_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string SubjectAltNames(const std::vector<std::string>& names)
{
    std::string out;
    for (const std::string& name : names) {
        unsigned char address[16];
        const bool ip = inet_pton(AF_INET, name.c_str(), address) == 1 || inet_pton(AF_INET6, name.c_str(), address) == 1;
        out += (out.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + name;
    }
    return out;
}

} // namespace

TestCertificates::~TestCertificates()
{
    if (!m_folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
}

bool TestCertificates::create(const std::vector<std::string>& serverNames)
{
    if (m_folder.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvella-certs-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            m_error = "Cannot create a folder for the test certificates";
            return false;
        }
        m_folder = pattern;
    }
    const auto at = [this](const char* name) { return m_folder + "/" + name; };
    const std::string log = at("openssl.log");
    const std::string firstName = serverNames.empty() ? std::string("localhost") : serverNames.front();
    const std::string altNames = SubjectAltNames(serverNames.empty() ? std::vector<std::string>{firstName} : serverNames);
    std::ofstream(at("server.ext")) << "basicConstraints=CA:FALSE\n"
                                       "keyUsage=critical,digitalSignature,keyEncipherment\n"
                                       "extendedKeyUsage=serverAuth\n"
                                       "subjectAltName="
                                    << altNames << "\n";

    const std::vector<std::string> ecKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    const auto makeCa = [&](const std::string& cert, const std::string& key, const std::string& name) {
        std::vector<std::string> args{"req", "-x509"};
        args.insert(args.end(), ecKey.begin(), ecKey.end());
        args.insert(args.end(), {"-days", "3", "-subj", "/CN=" + name, "-keyout", key, "-out", cert, "-addext",
                                 "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
        return RunOpenssl(args, log);
    };
    std::vector<std::string> request{"req"};
    request.insert(request.end(), ecKey.begin(), ecKey.end());
    request.insert(request.end(), {"-subj", "/CN=" + firstName, "-keyout", at("server.key"), "-out", at("server.csr")});
    std::vector<std::string> selfSigned{"req", "-x509"};
    selfSigned.insert(selfSigned.end(), ecKey.begin(), ecKey.end());
    selfSigned.insert(selfSigned.end(), {"-days", "3", "-subj", "/CN=" + firstName, "-keyout", at("self-signed.key"),
                                         "-out", at("self-signed.pem"), "-addext", "subjectAltName=" + altNames});

    const bool made = makeCa(at("ca.pem"), at("ca.key"), "Corvella Test CA")
        && makeCa(at("other-ca.pem"), at("other-ca.key"), "Corvella Other Test CA") && RunOpenssl(request, log)
        && RunOpenssl({"x509", "-req", "-in", at("server.csr"), "-CA", at("ca.pem"), "-CAkey", at("ca.key"),
                       "-CAcreateserial", "-days", "3", "-extfile", at("server.ext"), "-out", at("server.pem")},
                      log)
        && RunOpenssl(selfSigned, log);
    if (!made) {
        std::ifstream in(log, std::ios::binary);
        m_error = "The openssl command line failed: "
            + std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return false;
    }
    m_caFile = at("ca.pem");
    m_otherCaFile = at("other-ca.pem");
    m_serverCertificate = at("server.pem");
    m_serverKey = at("server.key");
    m_selfSignedCertificate = at("self-signed.pem");
    m_selfSignedKey = at("self-signed.key");
    m_error.clear();
    return true;
}

} // namespace fakes
