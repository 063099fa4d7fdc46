#include "db/EncryptionProbe.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace db {

namespace {

using SteadyClock = std::chrono::steady_clock;

// TDS packet types and the pre-login ENCRYPTION values.
constexpr std::uint8_t kPreLoginPacket = 0x12;
constexpr std::uint8_t kReplyPacket = 0x04;
constexpr std::uint8_t kEncryptOn = 0x01;
constexpr std::uint8_t kEncryptNotSupported = 0x02;
constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kPacketBytes = 4096;

// The GnuTLS priorities FreeTDS sets, so that the handshake is the driver's.
constexpr const char* kPriorities = "NORMAL:%COMPAT:-VERS-SSL3.0:-VERS-TLS1.0";

class TdsSocket {
public:
    explicit TdsSocket(SteadyClock::time_point deadline) : m_deadline(deadline) {}
    ~TdsSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TdsSocket(const TdsSocket&) = delete;
    TdsSocket& operator=(const TdsSocket&) = delete;

    bool connect(const std::string& host, int port, std::string& error)
    {
        addrinfo hints {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
            error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
            return false;
        }
        std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
        error = "cannot connect to " + host + "," + std::to_string(port);
        for (const addrinfo* address = found; address; address = address->ai_next) {
            const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                    address->ai_protocol);
            if (fd < 0)
                continue;
            m_fd = fd;
            int rc = ::connect(fd, address->ai_addr, address->ai_addrlen);
            if (rc != 0 && errno == EINPROGRESS && wait(POLLOUT)) {
                int soError = 0;
                socklen_t length = sizeof soError;
                rc = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) == 0 && soError == 0 ? 0 : -1;
            }
            if (rc == 0)
                return true;
            ::close(fd);
            m_fd = -1;
        }
        return false;
    }

    // One message as TDS packets of the given type, the last marked as the end.
    bool sendMessage(std::uint8_t type, const std::uint8_t* data, std::size_t size)
    {
        std::size_t offset = 0;
        do {
            const std::size_t part = std::min(size - offset, kPacketBytes - kHeaderBytes);
            const bool last = offset + part == size;
            const std::size_t length = part + kHeaderBytes;
            std::vector<std::uint8_t> packet{type, std::uint8_t(last ? 1 : 0), std::uint8_t(length >> 8),
                                             std::uint8_t(length), 0, 0, ++m_packetId, 0};
            packet.insert(packet.end(), data + offset, data + offset + part);
            if (!sendAll(packet.data(), packet.size()))
                return false;
            offset += part;
        } while (offset < size);
        return true;
    }

    // One TDS packet: its type and its payload.
    bool receivePacket(std::uint8_t& type, std::vector<std::uint8_t>& payload)
    {
        std::uint8_t header[kHeaderBytes];
        if (!receiveAll(header, sizeof header))
            return false;
        const std::size_t length = std::size_t(header[2]) << 8 | header[3];
        if (length < kHeaderBytes)
            return false;
        type = header[0];
        payload.resize(length - kHeaderBytes);
        return receiveAll(payload.data(), payload.size());
    }

private:
    bool wait(short events)
    {
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - SteadyClock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{m_fd, events, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready > 0)
                return true;
            if (ready < 0 && errno != EINTR)
                return false;
        }
    }

    bool sendAll(const std::uint8_t* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::send(m_fd, data, size, MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= static_cast<std::size_t>(n);
            } else if (!(n < 0 && (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) && wait(POLLOUT))))) {
                return false;
            }
        }
        return true;
    }

    bool receiveAll(std::uint8_t* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::recv(m_fd, data, size, 0);
            if (n > 0) {
                data += n;
                size -= static_cast<std::size_t>(n);
            } else if (n == 0
                       || !(errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) && wait(POLLIN)))) {
                return false;
            }
        }
        return true;
    }

    int m_fd = -1;
    SteadyClock::time_point m_deadline;
    std::uint8_t m_packetId = 0;
};

// The pre-login message: VERSION, ENCRYPTION (asked for), INSTOPT, THREADID, MARS (off).
std::vector<std::uint8_t> PreLoginMessage(const std::string& instance)
{
    const std::string instanceName = instance.empty() ? std::string("MSSQLServer") : instance;
    const std::uint32_t thread = static_cast<std::uint32_t>(::getpid());
    const std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> options = {
        {0x00, {1, 0, 0, 0, 0, 0}},
        {0x01, {kEncryptOn}},
        {0x02, std::vector<std::uint8_t>(instanceName.c_str(), instanceName.c_str() + instanceName.size() + 1)},
        {0x03, {std::uint8_t(thread >> 24), std::uint8_t(thread >> 16), std::uint8_t(thread >> 8), std::uint8_t(thread)}},
        {0x04, {0}},
    };
    std::vector<std::uint8_t> table, data;
    const std::size_t tableBytes = options.size() * 5 + 1;
    for (const auto& [token, value] : options) {
        const std::size_t offset = tableBytes + data.size();
        table.insert(table.end(), {token, std::uint8_t(offset >> 8), std::uint8_t(offset), std::uint8_t(value.size() >> 8),
                                   std::uint8_t(value.size())});
        data.insert(data.end(), value.begin(), value.end());
    }
    table.push_back(0xFF);
    table.insert(table.end(), data.begin(), data.end());
    return table;
}

// The ENCRYPTION value of a pre-login answer, or -1 when it has none.
int EncryptionAnswer(const std::vector<std::uint8_t>& payload)
{
    for (std::size_t at = 0; at + 5 <= payload.size() && payload[at] != 0xFF; at += 5) {
        const std::size_t offset = std::size_t(payload[at + 1]) << 8 | payload[at + 2];
        const std::size_t length = std::size_t(payload[at + 3]) << 8 | payload[at + 4];
        if (payload[at] == 0x01 && length >= 1 && offset < payload.size())
            return payload[offset];
    }
    return -1;
}

// The TLS records travel inside pre-login packets until the handshake is done.
struct HandshakeTransport {
    TdsSocket& socket;
    std::vector<std::uint8_t> outgoing;
    std::vector<std::uint8_t> incoming;
    std::size_t incomingAt = 0;
    gnutls_session_t session = nullptr;
};

ssize_t PushRecords(gnutls_transport_ptr_t pointer, const void* data, std::size_t size)
{
    auto* transport = static_cast<HandshakeTransport*>(pointer);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    transport->outgoing.insert(transport->outgoing.end(), bytes, bytes + size);
    return static_cast<ssize_t>(size);
}

ssize_t PullRecords(gnutls_transport_ptr_t pointer, void* data, std::size_t size)
{
    auto* transport = static_cast<HandshakeTransport*>(pointer);
    if (!transport->outgoing.empty()) {
        if (!transport->socket.sendMessage(kPreLoginPacket, transport->outgoing.data(), transport->outgoing.size())) {
            gnutls_transport_set_errno(transport->session, EIO);
            return -1;
        }
        transport->outgoing.clear();
    }
    while (transport->incomingAt == transport->incoming.size()) {
        std::uint8_t type = 0;
        transport->incomingAt = 0;
        if (!transport->socket.receivePacket(type, transport->incoming)) {
            gnutls_transport_set_errno(transport->session, EIO);
            return -1;
        }
    }
    const std::size_t part = std::min(size, transport->incoming.size() - transport->incomingAt);
    std::memcpy(data, transport->incoming.data() + transport->incomingAt, part);
    transport->incomingAt += part;
    return static_cast<ssize_t>(part);
}

// Loads `caFile` into `credentials` as FreeTDS does; the number of
// certificates, or a GnuTLS error code.
int LoadTrusted(gnutls_certificate_credentials_t credentials, const std::string& caFile)
{
    if (caFile == "system")
        return gnutls_certificate_set_x509_system_trust(credentials);
    return gnutls_certificate_set_x509_trust_file(credentials, caFile.c_str(), GNUTLS_X509_FMT_PEM);
}

// The names a certificate is issued for: its alternative names, else its common name.
std::string CertificateNames(gnutls_x509_crt_t certificate)
{
    std::string names;
    const auto add = [&names](const std::string& name) { names += (names.empty() ? "" : ", ") + name; };
    for (unsigned index = 0;; ++index) {
        char buffer[1024];
        std::size_t size = sizeof buffer;
        const int type = gnutls_x509_crt_get_subject_alt_name(certificate, index, buffer, &size, nullptr);
        if (type == GNUTLS_E_SHORT_MEMORY_BUFFER)
            continue;
        if (type < 0)
            break;
        if (type == GNUTLS_SAN_DNSNAME) {
            add(std::string(buffer, size));
        } else if (type == GNUTLS_SAN_IPADDRESS && (size == 4 || size == 16)) {
            char text[INET6_ADDRSTRLEN] = {};
            if (::inet_ntop(size == 4 ? AF_INET : AF_INET6, buffer, text, sizeof text))
                add(text);
        }
    }
    if (names.empty()) {
        char buffer[1024];
        std::size_t size = sizeof buffer;
        if (gnutls_x509_crt_get_dn_by_oid(certificate, GNUTLS_OID_X520_COMMON_NAME, 0, 0, buffer, &size) == 0)
            add(std::string(buffer, size));
    }
    return names.empty() ? std::string("no name") : names;
}

// What the certificate checks FreeTDS makes say of the handshake's certificate.
ProbeResult CheckPeer(gnutls_session_t session, const ProbeRequest& request)
{
    unsigned status = 0;
    if (const int rc = gnutls_certificate_verify_peers2(session, &status); rc < 0)
        return {ProbeOutcome::Untrusted, gnutls_strerror(rc)};
    if (status != 0) {
        gnutls_datum_t text {};
        std::string reason = "status " + std::to_string(status);
        if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
            reason.assign(reinterpret_cast<const char*>(text.data), text.size);
            gnutls_free(text.data);
        }
        while (!reason.empty() && reason.back() == ' ')
            reason.pop_back();
        return {ProbeOutcome::Untrusted, reason};
    }
    if (!request.checkHostName)
        return {ProbeOutcome::Accepted, {}};
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
    gnutls_x509_crt_t certificate = nullptr;
    if (!chain || count == 0 || gnutls_x509_crt_init(&certificate) < 0)
        return {ProbeOutcome::Inconclusive, "the server sent no certificate"};
    ProbeResult result{ProbeOutcome::Accepted, {}};
    if (gnutls_x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) < 0)
        result = {ProbeOutcome::Inconclusive, "the server's certificate cannot be read"};
    else if (!gnutls_x509_crt_check_hostname(certificate, request.host.c_str()))
        result = {ProbeOutcome::WrongName, CertificateNames(certificate)};
    gnutls_x509_crt_deinit(certificate);
    return result;
}

} // namespace

ProbeResult ProbeEncryption(const ProbeRequest& request)
{
    TdsSocket socket(SteadyClock::now() + request.timeout);
    std::string error;
    if (!socket.connect(request.host, request.port, error))
        return {ProbeOutcome::Inconclusive, error};
    const std::vector<std::uint8_t> preLogin = PreLoginMessage(request.instance);
    std::uint8_t type = 0;
    std::vector<std::uint8_t> answer;
    if (!socket.sendMessage(kPreLoginPacket, preLogin.data(), preLogin.size()) || !socket.receivePacket(type, answer))
        return {ProbeOutcome::Inconclusive, "no answer to the pre-login message"};
    const int encryption = EncryptionAnswer(answer);
    if (type != kReplyPacket || encryption < 0)
        return {ProbeOutcome::Inconclusive, "the answer is not a pre-login answer"};
    if (encryption == kEncryptNotSupported)
        return {ProbeOutcome::NotOffered, {}};

    gnutls_certificate_credentials_t credentials = nullptr;
    if (gnutls_certificate_allocate_credentials(&credentials) < 0)
        return {ProbeOutcome::Inconclusive, "cannot start GnuTLS"};
    std::unique_ptr<std::remove_pointer_t<gnutls_certificate_credentials_t>,
                    decltype(&gnutls_certificate_free_credentials)>
        ownedCredentials(credentials, &gnutls_certificate_free_credentials);
    if (!request.caFile.empty()) {
        if (const int loaded = LoadTrusted(credentials, request.caFile); loaded <= 0)
            return {ProbeOutcome::Inconclusive,
                    loaded < 0 ? gnutls_strerror(loaded) : "no trusted certificate could be read"};
    }
    gnutls_session_t session = nullptr;
    if (gnutls_init(&session, GNUTLS_CLIENT) < 0)
        return {ProbeOutcome::Inconclusive, "cannot start GnuTLS"};
    std::unique_ptr<std::remove_pointer_t<gnutls_session_t>, decltype(&gnutls_deinit)> ownedSession(session,
                                                                                                    &gnutls_deinit);
    HandshakeTransport transport{socket, {}, {}, 0, session};
    gnutls_set_default_priority(session);
    gnutls_priority_set_direct(session, kPriorities, nullptr);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_transport_set_ptr(session, &transport);
    gnutls_transport_set_push_function(session, PushRecords);
    gnutls_transport_set_pull_function(session, PullRecords);
    int rc = 0;
    do {
        rc = gnutls_handshake(session);
    } while (rc < 0 && !gnutls_error_is_fatal(rc));
    if (rc < 0)
        return {ProbeOutcome::Inconclusive, std::string("the TLS handshake failed: ") + gnutls_strerror(rc)};
    // Nothing follows the handshake: no login is sent, and the socket closes on return.
    if (request.caFile.empty())
        return {ProbeOutcome::Accepted, {}};
    return CheckPeer(session, request);
}

bool CheckTrustedCertificates(const std::string& caFile, std::string& error)
{
    if (caFile != "system") {
        const int fd = ::open(caFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = std::strerror(errno);
            return false;
        }
        struct stat status {};
        const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
        ::close(fd);
        if (!regular) {
            error = "it is not a file";
            return false;
        }
    }
    gnutls_certificate_credentials_t credentials = nullptr;
    if (gnutls_certificate_allocate_credentials(&credentials) < 0) {
        error = "GnuTLS cannot start";
        return false;
    }
    const int loaded = LoadTrusted(credentials, caFile);
    gnutls_certificate_free_credentials(credentials);
    if (loaded < 0)
        error = gnutls_strerror(loaded);
    else if (loaded == 0)
        error = "it holds no certificate in PEM form";
    return loaded > 0;
}

} // namespace db
