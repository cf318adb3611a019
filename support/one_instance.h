#pragma once

// `TOneInstance`: keeps the program to one running copy per executable name.
//
// The first copy holds an flock on "<exe>.lock" in $XDG_RUNTIME_DIR (the kernel
// frees it when the copy dies, however it dies) and listens on the local socket
// "<exe>.socket" beside it. A later copy connects, sends its parameters as one
// block, waits for the one-byte acknowledgement and ends; the first copy reads
// the block, brings itself to the front and fires `OnInstanceStarted`.
//
// A copy that took over from a first copy that stopped answering listens
// without the lock, so a copy finding the lock free still tries the socket
// first. The socket is made under a name of the copy's own and moved into
// place, and a copy removes "<exe>.socket" on its way out only while it is
// still its own: an old first copy that ends late leaves the one that took
// over reachable. An executable name too long for a socket's address goes
// shortened (`GuardName`).
//
// The block, 3018 bytes, little-endian:
//
//   offset  size      content
//   0       4         reserved handle word (0)
//   4       4         parameter count, signed, 0 to 10
//   8       10 x 301  slot i holds parameter i+1, zero-terminated, at most
//                     300 bytes of UTF-8 (cut on a character boundary)
//
// The reader treats the block as untrusted: the count is clamped to 0..10 and a
// slot is read up to its first zero byte or its 300th byte, whichever is first.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/component.h"
#include "platform/db/object.h"
#include "platform/db/string_list.h"
#include "platform/os/process_lock.h"

class QLocalServer;

namespace support {

inline constexpr std::size_t kInstanceBlockSize = 3018;
inline constexpr int kInstanceMaxParams = 10;
inline constexpr std::size_t kInstanceSlotSize = 301;
// How long a later copy waits for the first copy, at each of its two waits.
inline constexpr std::chrono::milliseconds kInstanceWait{10000};

using InstanceBlock = std::array<std::uint8_t, kInstanceBlockSize>;

// The block a later copy sends: the first ten parameters, each cut to 300 bytes.
InstanceBlock EncodeInstanceBlock(std::span<const std::string> params);
// The parameters of a received block (see the layout above).
std::vector<std::string> DecodeInstanceBlock(std::span<const std::uint8_t> block);

// The name the lock file and the socket of an executable go under in `folder`:
// the executable's own name, or, when the socket's path would not fit a socket
// address, its start followed by a hash of it; nothing when even that does not
// fit.
std::optional<std::string> GuardName(std::string_view folder, std::string_view executable);

using TOnInstanceStarted = std::function<void(db::TObject* sender, db::TStringList& params)>;

class TOneInstance : public db::TComponent {
  public:
    // Raises db::Exception "Drop only one of these components on your form !" when
    // another instance lives in this process.
    explicit TOneInstance(db::TComponent* owner);
    ~TOneInstance() override;

    // Copies with different scopes (their program folders) are guarded apart; the empty
    // scope guards every copy of the executable as one. Set before `Loaded`.
    void SetScope(std::string_view scope) { scope_ = scope; }

    bool ShowOnNewInstance() const { return show_on_new_instance_; }
    void SetShowOnNewInstance(bool value) { show_on_new_instance_ = value; }
    bool UseHaltToExit() const { return use_halt_to_exit_; }
    void SetUseHaltToExit(bool value) { use_halt_to_exit_ = value; }

    TOnInstanceStarted OnInstanceStarted;

    // Starts the guard (unless designing). A copy that hands over either exits
    // at once (`UseHaltToExit`) or asks the application to quit as soon as its
    // event loop runs; `HandedOver` then tells the caller not to show its main
    // window.
    void Loaded() override;

    bool IsFirstCopy() const { return server_ != nullptr; }
    bool HandedOver() const { return handed_over_; }

    // Where the lock file and the socket of an executable name live: the
    // runtime folder, or a private per-user folder when it is not set.
    static std::filesystem::path RuntimeFolder();
    // The executable's file name without its folder.
    static std::string ExecutableName();

  protected:
    virtual void DoInstanceStarted(db::TStringList& params);

  private:
    void Start();
    bool HandOver(const std::filesystem::path& socket_path);
    void BecomeFirstCopy(const std::filesystem::path& socket_path);
    void Received(const std::vector<std::string>& params);

    std::string scope_;
    bool show_on_new_instance_ = true;
    bool use_halt_to_exit_ = false;
    bool handed_over_ = false;
    platform::os::ProcessLock lock_;
    std::string lock_path_;
    std::unique_ptr<QLocalServer> server_;
    // "<exe>.socket" as this copy put it in place.
    std::string socket_path_;
    std::uint64_t socket_device_ = 0;
    std::uint64_t socket_inode_ = 0;
};

}  // namespace support
