#pragma once

// TDataSession: the engine core's session. It holds the directory settings,
// the table passwords, the locking parameters and the open directories.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace strata {

class TDataDirectory;

class TDataSession {
  public:
    TDataSession();
    ~TDataSession();
    TDataSession(const TDataSession&) = delete;
    TDataSession& operator=(const TDataSession&) = delete;

    const std::string& WorkingDir() const noexcept { return working_dir_; }
    // The private directory when set, else the process's private temporary
    // folder (per user, made with mkdtemp), else the working directory.
    std::string GetPrivateDir() const;
    // An empty value is ignored; stored trimmed with a trailing separator.
    void SetPrivateDir(std::string_view dir);

    // Passwords match by their exact bytes.
    void AddPassword(std::string_view password);
    void RemovePassword(std::string_view password);
    void RemoveAllPasswords();
    bool HasPassword(std::string_view password) const;
    std::size_t PasswordCount() const noexcept { return passwords_.size(); }

    // "MEMORY" (any case) is the session's in-memory directory; any other
    // name opens `path` (the working directory when empty). Two opens of one
    // canonical path share one directory.
    TDataDirectory* OpenDirectory(std::string_view name, std::string_view path = {});
    // 0, or -11013 when the directory is not this session's or not in use.
    int CloseDirectory(TDataDirectory* directory);
    std::size_t DirectoryCount() const noexcept { return directories_.size(); }

    // Whatever keeps this session's tables open beyond its owner's reach (a statement's
    // cursors) is told when the session ends, before the directories go, so that it lets go of
    // the tables while they still exist. A listener told is forgotten; it must not come back.
    std::uint64_t AddEndListener(std::function<void()> listener);
    void RemoveEndListener(std::uint64_t id) noexcept;

    bool ForceBufferFlush() const noexcept { return force_buffer_flush_; }
    void SetForceBufferFlush(bool value) noexcept { force_buffer_flush_ = value; }
    bool StrictChangeDetection() const noexcept { return strict_change_detection_; }
    void SetStrictChangeDetection(bool value) noexcept { strict_change_detection_ = value; }
    std::uint8_t LockRetryCount() const noexcept { return lock_retry_count_; }
    void SetLockRetryCount(std::uint8_t value) noexcept { lock_retry_count_ = value; }
    std::uint16_t LockWaitTime() const noexcept { return lock_wait_time_; }
    void SetLockWaitTime(std::uint16_t value) noexcept { lock_wait_time_ = value; }
    // The collation of what the session itself compares and formats (SQL
    // statements). A language must be in the engine's language table (0 is
    // byte order) and a sort must be an order some language has; otherwise
    // 15878 and the value stays. The two may be set in either order: while
    // the language lacks the requested sort, SortID answers 0, the default
    // order every language has, so the pair read back is always valid.
    std::uint16_t LanguageID() const noexcept { return language_id_; }
    void SetLanguageID(std::uint16_t value);
    std::uint16_t SortID() const noexcept;
    void SetSortID(std::uint16_t value);

  private:
    std::string working_dir_;
    std::string private_dir_;
    std::vector<std::string> passwords_;
    bool force_buffer_flush_ = false;
    bool strict_change_detection_ = false;
    std::uint8_t lock_retry_count_ = 15;
    std::uint16_t lock_wait_time_ = 100;
    std::vector<std::unique_ptr<TDataDirectory>> directories_;
    std::vector<std::pair<std::uint64_t, std::function<void()>>> end_listeners_;
    std::uint64_t next_end_listener_ = 0;
    std::uint16_t language_id_ = 0;
    std::uint16_t sort_id_ = 0;
};

// The process's default engine session: created on first use and made the
// current engine session when none is set. Requires: the engine is started.
TDataSession& DefaultEngineSession();

// Adds a trailing '/' unless the path already ends in a separator.
std::string WithTrailingSeparator(std::string_view path);

}  // namespace strata
