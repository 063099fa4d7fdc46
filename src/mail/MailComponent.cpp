#include "mail/MailComponent.h"

#include "text/Text.h"

#include <curl/curl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <random>
#include <string_view>

namespace mail {

namespace {

constexpr long kConnectTimeoutSeconds = 60;
constexpr long kStallSeconds = 600;
constexpr std::size_t kMaxRawHeaderLength = 900;
constexpr const char* kStoppedText = "Email not sent: the program is ending.";

bool isPrintableAscii(const std::string& text)
{
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

std::string base64(std::string_view bytes)
{
    static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16)
                         | (static_cast<unsigned char>(bytes[i + 1]) << 8)
                         | static_cast<unsigned char>(bytes[i + 2]);
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16)
                         | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// Length of the UTF-8 sequence starting with `lead`; 1 for stray bytes, so
// that invalid input still advances.
std::size_t utf8Length(unsigned char lead)
{
    if (lead >= 0xf0 && lead < 0xf8)
        return 4;
    if (lead >= 0xe0)
        return lead < 0xf0 ? 3 : 1;
    if (lead >= 0xc0)
        return 2;
    return 1;
}


std::string withCrlf(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

bool isIpv6Literal(const std::string& text)
{
    in6_addr address{};
    return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

// The server address as the host part of a URL; empty when it cannot be one.
std::string urlHost(const std::string& address)
{
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        return isIpv6Literal(address.substr(1, address.size() - 2)) ? address : std::string();
    if (address.find(':') != std::string::npos)
        return isIpv6Literal(address) ? "[" + address + "]" : std::string();
    for (unsigned char c : address) {
        const bool allowed = std::isalnum(c) || c == '.' || c == '-' || c == '_' || c >= 0x80;
        if (!allowed)
            return {};
    }
    return address;
}

// The name this machine greets the server with.
std::string greetingName()
{
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0')
        return "localhost";
    for (const char* p = name.data(); *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (!std::isalnum(c) && c != '.' && c != '-')
            return "localhost";
    }
    return name.data();
}

std::string dateHeader()
{
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const long offsetMinutes = local.tm_gmtoff / 60;
    const long absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[80];
    std::snprintf(text, sizeof text, "Date: %s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  days[local.tm_wday % 7], local.tm_mday, months[local.tm_mon % 12],
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                  offsetMinutes < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
    return text;
}

std::string messageIdHeader(const std::string& domain)
{
    std::random_device random;
    char text[64];
    std::snprintf(text, sizeof text, "%lx.%08x%08x", static_cast<unsigned long>(std::time(nullptr)),
                  random(), random());
    return "Message-ID: <" + std::string(text) + "@" + domain + ">";
}

// Collects the server's replies as libcurl hands them over, one line per
// call; a reply of several lines ("250-...", "250 ...") is kept whole.
struct ReplyRecorder {
    std::string pending;
    std::string lastReply;
    long lastCode = 0;

    static size_t onLine(char* data, size_t size, size_t count, void* user)
    {
        auto* self = static_cast<ReplyRecorder*>(user);
        std::string line(data, size * count);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        if (line.size() < 3)
            return size * count;
        if (!self->pending.empty())
            self->pending += ' ';
        self->pending += line;
        if (line.size() == 3 || line[3] != '-') {
            self->lastReply = std::move(self->pending);
            self->pending.clear();
            self->lastCode = std::strtol(line.substr(0, 3).c_str(), nullptr, 10);
        }
        return size * count;
    }
};

size_t discardData(char*, size_t size, size_t count, void*)
{
    return size * count;
}

struct CurlList {
    curl_slist* list = nullptr;
    ~CurlList() { curl_slist_free_all(list); }
    bool append(const std::string& item)
    {
        curl_slist* grown = curl_slist_append(list, item.c_str());
        if (!grown)
            return false;
        list = grown;
        return true;
    }
};

struct CurlMime {
    curl_mime* mime = nullptr;
    ~CurlMime() { curl_mime_free(mime); }
};

// Streams a file as base64 lines of 76 characters, up to wherever the file
// ends when it is read. libcurl's own encoder hands over a few hundred bytes
// per read, which turns a large backup into millions of tiny writes to the
// socket; this one fills whatever buffer libcurl offers.
class Base64FileReader {
public:
    static constexpr std::size_t kLineBytes = 57; // 76 characters of base64

    explicit Base64FileReader(std::string path)
        : m_path(std::move(path))
    {
    }
    ~Base64FileReader()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // Opens the file; false with error() set when it cannot be read.
    bool open()
    {
        m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            return setError();
        ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return true;
    }

    const std::string& error() const { return m_error; }

    static size_t read(char* buffer, size_t size, size_t count, void* self)
    {
        return static_cast<Base64FileReader*>(self)->fill(buffer, size * count);
    }

    static int seek(void* self, curl_off_t offset, int origin)
    {
        auto* reader = static_cast<Base64FileReader*>(self);
        if (origin != SEEK_SET || offset != 0 || reader->m_fd < 0)
            return CURL_SEEKFUNC_CANTSEEK;
        if (::lseek(reader->m_fd, 0, SEEK_SET) != 0)
            return CURL_SEEKFUNC_FAIL;
        reader->m_out.clear();
        reader->m_outPos = 0;
        reader->m_atEnd = false;
        return CURL_SEEKFUNC_OK;
    }

private:
    bool setError()
    {
        m_error = "Cannot read '" + m_path + "': " + std::strerror(errno);
        return false;
    }

    size_t fill(char* buffer, size_t wanted)
    {
        size_t given = 0;
        while (given < wanted) {
            if (m_outPos == m_out.size() && !refill())
                return m_error.empty() ? given : CURL_READFUNC_ABORT;
            const size_t n = std::min(wanted - given, m_out.size() - m_outPos);
            std::memcpy(buffer + given, m_out.data() + m_outPos, n);
            m_outPos += n;
            given += n;
        }
        return given;
    }

    // Encodes the next block of the file; false at its end or on an error.
    bool refill()
    {
        if (m_atEnd)
            return false;
        static constexpr std::size_t blockBytes = kLineBytes * 4096;
        m_in.resize(blockBytes);
        std::size_t have = 0;
        while (have < blockBytes) {
            const ssize_t got = ::read(m_fd, m_in.data() + have, blockBytes - have);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return setError();
            if (got == 0) {
                m_atEnd = true;
                break;
            }
            have += static_cast<std::size_t>(got);
        }
        m_out.clear();
        m_outPos = 0;
        for (std::size_t pos = 0; pos < have; pos += kLineBytes) {
            m_out += base64(std::string_view(m_in.data() + pos, std::min(kLineBytes, have - pos)));
            m_out += "\r\n";
        }
        return !m_out.empty();
    }

    std::string m_path;
    int m_fd = -1;
    std::vector<char> m_in;
    std::string m_out;
    std::size_t m_outPos = 0;
    bool m_atEnd = false;
    std::string m_error;
};

// Why the file at `path` cannot be read as an attachment; empty when it can.
std::string unreadableReason(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    struct stat info {};
    const bool isFile = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return isFile ? std::string() : "not a regular file";
}

// Opens the sockets of a transfer for libcurl and keeps why one could not be
// opened, which libcurl reports only as "Couldn't connect to server": a
// process out of descriptors (ulimit -n) is then named as such.
struct SocketOpener {
    int error = 0;

    static curl_socket_t open(void* self, curlsocktype, curl_sockaddr* address)
    {
        const int fd = ::socket(address->family, address->socktype, address->protocol);
        if (fd < 0)
            static_cast<SocketOpener*>(self)->error = errno;
        return fd < 0 ? CURL_SOCKET_BAD : fd;
    }
};

// Ends a transfer once its stop is requested; libcurl asks at least once a
// second, also while it waits for the server.
int abortOnStop(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const std::stop_token*>(stop)->stop_requested() ? 1 : 0;
}

} // namespace

// What the operator can do about the common failures.
const char* MailComponent::adviceFor(int curlCode, Security security)
{
    switch (curlCode) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
        return "Check the mail server address and port.";
    case CURLE_LOGIN_DENIED:
        return "Check the account and password.";
    case CURLE_PEER_FAILED_VERIFICATION:
        return "The mail server's certificate is not trusted by this computer.";
    case CURLE_USE_SSL_FAILED:
        return "The server does not offer TLS on this port; choose SSL or SIMPLE.";
    case CURLE_SSL_CONNECT_ERROR:
        return security == Security::Ssl ? "The server does not speak SSL on this port; choose TLS or SIMPLE."
                                         : nullptr;
    default:
        return nullptr;
    }
}

namespace {
namespace header {

// The text as one header value: kept as it is when it is printable ASCII and
// short, otherwise UTF-8 "B" encoded words folded onto continuation lines.
std::string EncodeText(const std::string& text)
{
    if (isPrintableAscii(text) && text.size() <= kMaxRawHeaderLength
        && text.find("=?") == std::string::npos)
        return text;
    // 45 bytes of text become 60 characters of base64, so every encoded word
    // stays within the 75 characters allowed; words never split a character.
    constexpr std::size_t maxChunk = 45;
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size()) {
            const std::size_t length = utf8Length(static_cast<unsigned char>(text[end]));
            if (end + length - pos > maxChunk && end > pos)
                break;
            end = std::min(text.size(), end + length);
        }
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + base64(text.substr(pos, end - pos)) + "?=";
        pos = end;
    }
    return out;
}

// A display name and address as a mailbox: "Name" <address>.
std::string Mailbox(const std::string& displayName, const std::string& address)
{
    const std::string angle = "<" + address + ">";
    if (displayName.empty())
        return angle;
    if (!isPrintableAscii(displayName) || displayName.size() > 200
        || displayName.find("=?") != std::string::npos)
        return EncodeText(displayName) + " " + angle;
    std::string quoted = "\"";
    for (char c : displayName) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\" " + angle;
}

// True when `address` can stand between angle brackets in an SMTP command.
bool IsUsableAddress(const std::string& address)
{
    if (address.size() > 320)
        return false;
    for (unsigned char c : address) {
        if (c <= 0x20 || c == 0x7f || c == '<' || c == '>' || c == '"' || c == ',' || c == ';')
            return false;
    }
    return true;
}

} // namespace header
} // namespace

std::unique_ptr<MailComponent> MailComponent::create()
{
    static std::once_flag initialised;
    static CURLcode initResult = CURLE_OK;
    std::call_once(initialised, [] { initResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (initResult != CURLE_OK)
        return nullptr;
    CURL* curl = curl_easy_init();
    if (!curl)
        return nullptr;
    return std::unique_ptr<MailComponent>(new MailComponent(curl));
}

MailComponent::MailComponent(CURL* curl)
    : m_curl(curl)
{
}

MailComponent::~MailComponent()
{
    curl_easy_cleanup(m_curl);
    explicit_bzero(m_password.data(), m_password.size());
}

Status MailComponent::fail(Status status, std::string text)
{
    m_lastError = std::move(text);
    return status;
}

Status MailComponent::SetSubject(const std::string& subject)
{
    m_subject = subject;
    return kOk;
}

Status MailComponent::SetMailingServerName(const std::string& name)
{
    m_senderName = name;
    return kOk;
}

Status MailComponent::SetBody(const std::string& text)
{
    m_body = text;
    return kOk;
}

Status MailComponent::SetServer(const std::string& address, std::uint32_t port)
{
    m_server = text::Trim(address);
    m_port = port;
    return kOk;
}

Status MailComponent::UseTls()
{
    m_security = Security::Tls;
    return kOk;
}

Status MailComponent::UseSsl()
{
    m_security = Security::Ssl;
    return kOk;
}

Status MailComponent::UseSimple()
{
    m_security = Security::Simple;
    return kOk;
}

Status MailComponent::SetUserName(const std::string& userName)
{
    m_userName = userName;
    return kOk;
}

Status MailComponent::SetPassword(const std::string& password)
{
    explicit_bzero(m_password.data(), m_password.size());
    m_password = password;
    return kOk;
}

Status MailComponent::AddRecipient(const std::string& address, const std::string& name)
{
    // Several addresses may be given, separated by commas or semicolons.
    std::vector<std::string> addresses;
    std::size_t start = 0;
    while (start <= address.size()) {
        const std::size_t end = std::min(address.find_first_of(",;", start), address.size());
        const std::string one(text::Trim(std::string_view(address).substr(start, end - start)));
        if (!one.empty())
            addresses.push_back(one);
        start = end + 1;
    }
    for (const std::string& one : addresses) {
        if (!header::IsUsableAddress(one))
            return fail(kInvalidArgument, "The recipient address '" + one + "' is not valid.");
    }
    const std::string displayName = (addresses.size() == 1 && text::Trim(name) != addresses[0]) ? name : "";
    for (std::string& one : addresses)
        m_recipients.push_back({std::move(one), displayName});
    return kOk;
}

Status MailComponent::SetSenderAddress(const std::string& address)
{
    const std::string value(text::Trim(address));
    if (!header::IsUsableAddress(value))
        return fail(kInvalidArgument, "The sender address '" + value + "' is not valid.");
    m_senderAddress = value;
    return kOk;
}

Status MailComponent::SetSenderAccount(const std::string& account)
{
    const std::string value(text::Trim(account));
    if (!header::IsUsableAddress(value))
        return fail(kInvalidArgument, "The sender account '" + value + "' is not valid.");
    m_senderAccount = value;
    return kOk;
}

Status MailComponent::AddAttachment(const std::string& path)
{
    if (const std::string reason = unreadableReason(path); !reason.empty())
        return fail(kFailed, "Cannot attach '" + path + "': " + reason);
    m_attachments.push_back(path);
    return kOk;
}

Status MailComponent::SetStopToken(std::stop_token stop)
{
    m_stop = std::move(stop);
    return kOk;
}

std::string MailComponent::configurationProblem() const
{
    if (m_server.empty())
        return "No mail server is set.";
    if (urlHost(m_server).empty())
        return "The mail server address '" + m_server + "' is not valid.";
    if (m_port == 0 || m_port > 65535)
        return "The mail server port " + std::to_string(m_port) + " is not valid.";
    if (m_recipients.empty())
        return "No recipient address is set.";
    return {};
}

std::string MailComponent::url() const
{
    const char* scheme = m_security == Security::Ssl ? "smtps://" : "smtp://";
    return scheme + urlHost(m_server) + ":" + std::to_string(m_port) + "/" + greetingName();
}

Status MailComponent::SendMail(std::optional<std::string>& failureText)
{
    failureText.reset();
    if (const std::string problem = configurationProblem(); !problem.empty()) {
        failureText = "Email not sent: " + problem;
        return kOk;
    }

    CurlList headers;
    CurlList recipients;
    CurlMime message;
    const std::string domain = greetingName();
    std::string toHeader = "To: ";
    for (std::size_t i = 0; i < m_recipients.size(); ++i) {
        if (i > 0)
            toHeader += ",\r\n ";
        toHeader += header::Mailbox(m_recipients[i].name, m_recipients[i].address);
        if (!recipients.append("<" + m_recipients[i].address + ">"))
            return fail(kOutOfMemory, "Out of memory while preparing the email.");
    }
    const bool headersBuilt = headers.append(dateHeader())
        && headers.append("From: " + header::Mailbox(m_senderName, m_senderAddress))
        && headers.append(toHeader)
        && headers.append("Subject: " + header::EncodeText(m_subject))
        && headers.append(messageIdHeader(domain));
    if (!headersBuilt)
        return fail(kOutOfMemory, "Out of memory while preparing the email.");

    message.mime = curl_mime_init(m_curl);
    if (!message.mime)
        return fail(kOutOfMemory, "Out of memory while preparing the email.");
    const std::string body = withCrlf(m_body);
    curl_mimepart* text = curl_mime_addpart(message.mime);
    if (!text || curl_mime_data(text, body.data(), body.size()) != CURLE_OK
        || curl_mime_type(text, "text/plain; charset=UTF-8") != CURLE_OK
        || curl_mime_encoder(text, "quoted-printable") != CURLE_OK)
        return fail(kFailed, "Cannot put the message text into the email.");
    std::vector<std::unique_ptr<Base64FileReader>> readers;
    for (const std::string& path : m_attachments) {
        auto reader = std::make_unique<Base64FileReader>(path);
        if (!reader->open())
            return fail(kFailed, reader->error());
        curl_mimepart* part = curl_mime_addpart(message.mime);
        const std::string name = std::filesystem::path(path).filename().string();
        curl_slist* partHeaders = curl_slist_append(nullptr, "Content-Transfer-Encoding: base64");
        if (!part || !partHeaders
            || curl_mime_data_cb(part, -1, &Base64FileReader::read, &Base64FileReader::seek,
                                 nullptr, reader.get()) != CURLE_OK
            || curl_mime_filename(part, name.c_str()) != CURLE_OK
            || curl_mime_type(part, "application/octet-stream") != CURLE_OK
            || curl_mime_headers(part, partHeaders, 1) != CURLE_OK) {
            curl_slist_free_all(partHeaders);
            return fail(kOutOfMemory, "Out of memory while attaching '" + path + "'.");
        }
        readers.push_back(std::move(reader));
    }

    char errorBuffer[CURL_ERROR_SIZE] = {};
    ReplyRecorder replies;
    const std::string address = url();
    CURL* c = m_curl;
    curl_easy_setopt(c, CURLOPT_URL, address.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &ReplyRecorder::onLine);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &replies);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &discardData);
    SocketOpener opener;
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, &SocketOpener::open);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &opener);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, kStallSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 1L << 20);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile && *caFile)
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile);
    if (const char* caDir = std::getenv("SSL_CERT_DIR"); caDir && *caDir)
        curl_easy_setopt(c, CURLOPT_CAPATH, caDir);
    switch (m_security) {
    case Security::Tls:
        curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        break;
    case Security::Unset:
        curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
        break;
    case Security::Simple:
    case Security::Ssl:
        break;
    }
    if (!m_userName.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, m_userName.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, m_password.c_str());
    }
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, ("<" + m_senderAccount + ">").c_str());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.list);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(c, CURLOPT_MIMEPOST, message.mime);
    if (m_stop.stop_possible()) {
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &abortOnStop);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &m_stop);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode result = m_stop.stop_requested() ? CURLE_ABORTED_BY_CALLBACK : curl_easy_perform(c);

    // The handle keeps pointers to the lists and the password; none of them
    // may outlive this call.
    curl_easy_setopt(c, CURLOPT_MIMEPOST, nullptr);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, nullptr);
    curl_easy_setopt(c, CURLOPT_PASSWORD, "");
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, nullptr);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, nullptr);

    if (result == CURLE_OK)
        return kOk;
    if (result == CURLE_ABORTED_BY_CALLBACK && m_stop.stop_requested()) {
        failureText = kStoppedText;
        return kOk;
    }
    if (opener.error != 0 && result == CURLE_COULDNT_CONNECT) {
        failureText = "Email not sent: Cannot open a connection to the mail server: " + std::string(std::strerror(opener.error));
        return kOk;
    }
    std::string reason = errorBuffer[0] ? errorBuffer : curl_easy_strerror(result);
    for (const auto& reader : readers) {
        if (!reader->error().empty())
            reason = reader->error();
    }
    if (replies.lastCode >= 400 && reason.find(replies.lastReply) == std::string::npos)
        reason += ". Server reply: " + replies.lastReply;
    if (const char* hint = adviceFor(result, m_security))
        reason += std::string(reason.ends_with('.') ? " " : ". ") + hint;
    failureText = "Email not sent: " + reason;
    return kOk;
}

} // namespace mail
