#include "tests/platform/os/peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace platform::os::testing {

Peer::Peer() {
    int down[2];
    int up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        ::dup2(down[0], STDIN_FILENO);
        ::dup2(up[1], STDOUT_FILENO);
        const char* program = CORVANE_OS_PEER;
        ::execl(program, program, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(down[0]);
    ::close(up[1]);
    to_peer_ = down[1];
    from_peer_ = up[0];
}

Peer::~Peer() {
    if (to_peer_ >= 0) {
        ::close(to_peer_);  // end of input ends the program
    }
    if (from_peer_ >= 0) {
        ::close(from_peer_);
    }
    if (pid_ > 0) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

std::string Peer::Ask(std::string_view command) {
    std::string line(command);
    line += '\n';
    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::write(to_peer_, line.data() + sent, line.size() - sent);
        if (n <= 0) {
            throw std::runtime_error("peer is gone");
        }
        sent += static_cast<std::size_t>(n);
    }
    for (;;) {
        if (const auto newline = pending_.find('\n'); newline != std::string::npos) {
            std::string reply = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return reply;
        }
        pollfd wait{from_peer_, POLLIN, 0};
        const int ready = ::poll(&wait, 1, 20000);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            throw std::runtime_error("peer did not answer: " + std::string(command));
        }
        char buffer[256];
        const ssize_t n = ::read(from_peer_, buffer, sizeof buffer);
        if (n <= 0) {
            throw std::runtime_error("peer closed its output");
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

void Peer::Kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

}  // namespace platform::os::testing
