#pragma once

// Real peers on loopback for the mail tests: an SMTP sink, a DNS stub and a
// Dovecot IMAP server, each started in a private folder and stopped when its
// object goes away. Every wait is bounded.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mail::testing {

// A fresh folder under the temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// A child process, killed and reaped on destruction.
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& log);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    void Stop();
    void Kill();  // SIGKILL to it and its children, reaped before it returns
    bool Running();

  private:
    pid_t pid_ = -1;
};

// Waits up to `limit` for a file to appear and returns its contents.
std::optional<std::string> WaitForFile(const std::filesystem::path& file,
                                       std::chrono::milliseconds limit);

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
std::uint16_t FreeTcpPort();

std::string ReadFile(const std::filesystem::path& file);
void WriteFile(const std::filesystem::path& file, const std::string& text);

struct ReceivedMail {
    std::string mail_from;
    std::vector<std::string> rcpt_to;
    std::string data;
};

// A message as a member's mail program reads it: Python's email package, strict
// policy (see mail_check.py).
struct MailPart {
    std::string type, disposition, file_name, charset, transfer_encoding;
    std::string contents;  // decoded: bytes, or the text as UTF-8
};
struct ReadMail {
    std::vector<std::string> faults;                           // empty for a well-formed message
    std::vector<std::pair<std::string, std::string>> headers;  // decoded values
    std::vector<MailPart> parts;                               // the leaf parts in order
    // The decoded values of a header, in order.
    std::vector<std::string> Header(std::string_view name) const;
};
ReadMail ReadAsAMailProgram(const std::string& raw);

class SmtpSink {
  public:
    // mode: "normal", "stall-data" (DATA never answered), "starttls" (offers
    // STARTTLS), "starttls-auth" (requires STARTTLS and AUTH listuser/secret),
    // "pipelining" (offers PIPELINING), "rcpt-limit" (452 for a fourth
    // recipient of one message); smtp_sink.py lists the others.
    explicit SmtpSink(const std::string& mode = "normal");
    std::uint16_t port() const { return port_; }
    // Waits until `count` messages have arrived (bounded) and returns them in order.
    std::vector<ReceivedMail> WaitForMessages(
        std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    std::size_t MessageCount() const;
    // One line per message: "tls=True|False login=listuser|None".
    std::string Sessions() const;

  private:
    TempDir dir_;
    std::uint16_t port_ = 0;
    std::optional<ChildProcess> process_;
};

class DnsStub {
  public:
    // zone: lines of "name type value".
    explicit DnsStub(const std::string& zone);
    std::uint16_t port() const { return port_; }

  private:
    TempDir dir_;
    std::uint16_t port_ = 0;
    std::optional<ChildProcess> process_;
};

// Dovecot serving IMAP for any user with the given password; the user's mail
// lives in maildir(user), which the test may fill before Start().
class DovecotServer {
  public:
    // tls: IMAP over TLS (imaps) with a certificate for 127.0.0.1 made for the
    // run, which certificate() names for the client to trust.
    explicit DovecotServer(std::string password = "secret", bool tls = false);
    std::filesystem::path certificate() const { return dir_.path() / "cert.pem"; }
    ~DovecotServer();
    static bool Available();  // root and dovecot installed
    std::filesystem::path maildir(const std::string& user) const;
    void Start();
    // Stops the server and its connection processes; waits until they are gone.
    void Stop();
    std::uint16_t port() const { return port_; }

  private:
    TempDir dir_;
    std::string password_;
    bool tls_ = false;
    std::uint16_t port_ = 0;
    std::optional<ChildProcess> process_;
};

}  // namespace mail::testing
