#pragma once

// Drives a second program (platform_os_peer) through pipes.

#include <sys/types.h>

#include <string>
#include <string_view>

namespace platform::os::testing {

class Peer {
  public:
    Peer();  // starts the program; throws std::runtime_error when it cannot
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Sends one command and returns the reply line (throws after 20 s of silence).
    std::string Ask(std::string_view command);
    int AskCode(std::string_view command) { return std::stoi(Ask(command)); }

    // SIGKILL and reap: every descriptor of the program is closed when this returns.
    void Kill();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int to_peer_ = -1;
    int from_peer_ = -1;
    std::string pending_;
};

}  // namespace platform::os::testing
