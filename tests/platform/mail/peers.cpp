#include "tests/platform/mail/peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <pwd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace mail::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "corvane-mail-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    if (std::getenv("CORVANE_KEEP_TEST_DIRS"))
        return;  // for looking at a peer's logs
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const fs::path& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so stopping it takes its children along.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int error = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        throw std::runtime_error("cannot start " + argv[0]);
}

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Kill() {
    if (pid_ > 0 && kill(-pid_, SIGKILL) == 0)
        waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void ChildProcess::Stop() {
    if (pid_ <= 0)
        return;
    kill(-pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(-pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary);
    out << text;
}

std::optional<std::string> WaitForFile(const fs::path& file, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (fs::exists(file))
            return ReadFile(file);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

std::uint16_t FreeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

namespace {

const fs::path kPeerDir = CORVANE_MAIL_PEER_DIR;

std::uint16_t ReadPort(const fs::path& file) {
    const auto text = WaitForFile(file, std::chrono::seconds(20));
    if (!text)
        throw std::runtime_error("peer did not start: " + file.string());
    return static_cast<std::uint16_t>(std::stoi(*text));
}

}  // namespace

std::vector<std::string> ReadMail::Header(std::string_view name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers) {
        if (key.size() == name.size() &&
            std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            values.push_back(value);
        }
    }
    return values;
}

ReadMail ReadAsAMailProgram(const std::string& raw) {
    TempDir dir;
    WriteFile(dir.path() / "mail.eml", raw);
    {
        ChildProcess checker({"/usr/bin/python3", (kPeerDir / "mail_check.py").string(),
                              (dir.path() / "mail.eml").string(), (dir.path() / "out").string()},
                             dir.path() / "log");
        for (int i = 0; i < 3000 && checker.Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ReadMail mail;
    if (!fs::exists(dir.path() / "out" / "summary")) {
        mail.faults.push_back("the checker failed: " + ReadFile(dir.path() / "log"));
        return mail;
    }
    std::istringstream summary(ReadFile(dir.path() / "out" / "summary"));
    for (std::string line; std::getline(summary, line);) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos;
             start = tab + 1) {
            fields.push_back(line.substr(start, tab - start));
        }
        fields.push_back(line.substr(start));
        if (fields[0] == "fault" && fields.size() >= 2) {
            mail.faults.push_back(fields[1]);
        } else if (fields[0] == "header" && fields.size() >= 3) {
            mail.headers.emplace_back(fields[1], fields[2]);
        } else if (fields[0] == "part" && fields.size() >= 7) {
            MailPart part{fields[2], fields[3], fields[4], fields[5], fields[6], ""};
            part.contents = ReadFile(dir.path() / "out" / ("part-" + fields[1]));
            mail.parts.push_back(std::move(part));
        }
    }
    return mail;
}

SmtpSink::SmtpSink(const std::string& mode) {
    fs::create_directories(dir_.path() / "out");
    process_.emplace(
        std::vector<std::string>{"/usr/bin/python3", (kPeerDir / "smtp_sink.py").string(),
                                 (dir_.path() / "port").string(), (dir_.path() / "out").string(),
                                 mode},
        dir_.path() / "log");
    port_ = ReadPort(dir_.path() / "port");
}

std::size_t SmtpSink::MessageCount() const {
    std::size_t count = 0;
    while (fs::exists(dir_.path() / "out" / (std::to_string(count + 1) + ".done")))
        ++count;
    return count;
}

std::string SmtpSink::Sessions() const {
    return ReadFile(dir_.path() / "out" / "sessions");
}

std::vector<ReceivedMail> SmtpSink::WaitForMessages(std::size_t count,
                                                    std::chrono::milliseconds limit) const {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (MessageCount() < count && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::vector<ReceivedMail> mails;
    // Counted once: each count looks at every file, and sinks of thousands are read here.
    const std::size_t arrived = MessageCount();
    for (std::size_t i = 1; i <= arrived; ++i) {
        const auto base = dir_.path() / "out" / std::to_string(i);
        ReceivedMail mail;
        std::istringstream envelope(ReadFile(base.string() + ".env"));
        std::getline(envelope, mail.mail_from);
        for (std::string line; std::getline(envelope, line);)
            mail.rcpt_to.push_back(line);
        mail.data = ReadFile(base.string() + ".eml");
        mails.push_back(std::move(mail));
    }
    return mails;
}

DnsStub::DnsStub(const std::string& zone) {
    WriteFile(dir_.path() / "zone", zone);
    process_.emplace(
        std::vector<std::string>{"/usr/bin/python3", (kPeerDir / "dns_stub.py").string(),
                                 (dir_.path() / "port").string(), (dir_.path() / "zone").string()},
        dir_.path() / "log");
    port_ = ReadPort(dir_.path() / "port");
}

DovecotServer::DovecotServer(std::string password, bool tls)
    : password_(std::move(password)), tls_(tls) {
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    fs::create_directories(dir_.path() / "mail");
}

DovecotServer::~DovecotServer() {
    Stop();
}

void DovecotServer::Stop() {
    if (process_)
        process_->Stop();
    process_.reset();
}

bool DovecotServer::Available() {
    return geteuid() == 0 && fs::exists("/usr/sbin/dovecot") && getpwnam("dovecot") != nullptr &&
           getpwnam("dovenull") != nullptr;
}

fs::path DovecotServer::maildir(const std::string& user) const {
    return dir_.path() / "mail" / user;
}

void DovecotServer::Start() {
    const auto dir = dir_.path();
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeTcpPort();
        std::ostringstream conf;
        conf << "protocols = imap\n"
             << "listen = 127.0.0.1\n"
             << "base_dir = " << (dir / "run").string() << "\n"
             << "state_dir = " << (dir / "state").string() << "\n"
             << "log_path = " << (dir / "dovecot.log").string() << "\n"
             << (tls_ ? "ssl = required\nssl_cert = <" + certificate().string() + "\nssl_key = <" +
                            (dir / "key.pem").string() + "\n"
                      : std::string("ssl = no\n"))
             << "disable_plaintext_auth = no\n"
             << "default_internal_user = dovecot\n"
             << "default_login_user = dovenull\n"
             << "mail_location = maildir:" << (dir / "mail").string() << "/%u\n"
             << "mail_uid = dovecot\n"
             << "mail_gid = dovecot\n"
             // The packaged dovecot user has a system uid below the default limit.
             << "first_valid_uid = 1\n"
             << "first_valid_gid = 1\n"
             << "auth_failure_delay = 0\n"
             << "passdb {\n  driver = static\n  args = password=" << password_ << "\n}\n"
             << "userdb {\n  driver = static\n  args = uid=dovecot gid=dovecot home="
             << (dir / "mail").string() << "/%u\n}\n"
             << "service imap-login {\n  inet_listener " << (tls_ ? "imaps" : "imap")
             << " {\n    address = 127.0.0.1\n"
             << "    port = " << port_ << "\n  }\n}\n";
        // Without the penalty that slows each further failed login.
        conf << "service anvil {\n  chroot =\n"
             << "  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
        WriteFile(dir / "dovecot.conf", conf.str());
        if (tls_ && !fs::exists(certificate())) {
            const std::string make =
                "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
                (dir / "key.pem").string() + "' -out '" + certificate().string() +
                "' >/dev/null 2>&1";
            if (std::system(make.c_str()) != 0)
                throw std::runtime_error("openssl could not make the certificate");
        }
        fs::create_directories(dir / "run");
        fs::create_directories(dir / "state");
        const std::string chown = "chown -R dovecot:dovecot '" + (dir / "mail").string() + "'";
        if (std::system(chown.c_str()) != 0)
            throw std::runtime_error("chown failed");
        // A small shell keeps watch, so a test that dies does not leave the
        // server running; stopping the process group stops both.
        const char* watch =
            "parent=$PPID; /usr/sbin/dovecot -F -c \"$1\" & child=$!; "
            "trap 'kill $child; wait $child; exit 0' TERM; "
            "while kill -0 $parent 2>/dev/null && kill -0 $child 2>/dev/null; do sleep 0.5; done; "
            "kill $child 2>/dev/null; wait $child";
        process_.emplace(
            std::vector<std::string>{"/bin/sh", "-c", watch, "sh", (dir / "dovecot.conf").string()},
            dir / "dovecot.out");
        // Ready when the port takes connections.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < until && process_->Running()) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port_);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up =
                ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(fd);
            if (up)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        process_.reset();
    }
    throw std::runtime_error("dovecot did not start; see " + (dir / "dovecot.log").string());
}

}  // namespace mail::testing

// vmime 0.9.2's IMAP response parser loses small nodes of some responses
// (SELECT); the leak is inside the library and bounded per command. Chromium,
// in the send dialog's preview, keeps some of its own objects (and fontconfig's)
// to the end of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libvmime.so\nleak:libQt6WebEngineCore.so\nleak:libfontconfig.so\n";
}
