#pragma once

// The engine's session and database components: a TStrataSession owns one engine session
// (TDataSession) and its settings; a TStrataDatabase is one named directory of a session,
// shared by the datasets that name it. One process-wide list holds every session; the first,
// "Default", drives the engine's global state.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/component.h"

namespace strata {

class TDataSession;
class TDataDirectory;
class TStrataDatabase;
class TStrataDBDataSet;
class TStrataSession;

inline constexpr std::string_view kStrataEngineVersion = "2.06";

// The engine session lock: one recursive mutex for the process, taken by every call that
// switches or changes engine sessions, from any thread.
std::recursive_mutex& EngineSessionLock();

// Holds every session; the first one ever added is the default session.
class TStrataSessionList {
  public:
    TStrataSessionList();
    ~TStrataSessionList();
    TStrataSessionList(const TStrataSessionList&) = delete;
    TStrataSessionList& operator=(const TStrataSessionList&) = delete;

    // An empty name gives the default session; else the first session of that name, case
    // aside; nullptr when none.
    TStrataSession* FindSession(std::string_view name);
    // As FindSession; none raises "Session name %s is not valid.".
    TStrataSession& GetSession(std::string_view name);
    TStrataSession& GetDefaultSession();
    std::vector<TStrataSession*> Sessions() const;
    std::int64_t Count() const;

  private:
    friend class TStrataSession;
    void Add(TStrataSession& session);
    void Remove(TStrataSession& session);
    void EnsureDefaultSession();
    // The lowest free auto-session number, now taken.
    std::int32_t TakeAutoNumber();
    void FreeAutoNumber(std::int32_t number);

    mutable std::mutex lock_;
    std::vector<TStrataSession*> sessions_;
    std::vector<bool> auto_numbers_;
    db::ComponentPtr<TStrataSession> default_session_;
    bool making_default_ = false;
};

TStrataSessionList& StrataSessions();
// The default session ("Default").
TStrataSession& DefaultStrataSession();

// A name is a path when it is empty or holds ':', '\' or '/'.
bool IsPathName(std::string_view name);

// What a session's database hook is told.
enum class DatabaseEvent : std::uint8_t {
    Connected = 0,
    Disconnecting = 1,
    Added = 2,
    Removed = 3
};

class TStrataSession : public db::TComponent {
  public:
    using TPasswordEvent = std::function<void(TStrataSession* sender, bool& continue_)>;
    using TDatabaseHook = std::function<void(DatabaseEvent event, TStrataDatabase& database)>;

    explicit TStrataSession(db::TComponent* owner);
    ~TStrataSession() override;

    std::string_view EngineVersion() const { return kStrataEngineVersion; }
    bool Active() const { return engine_session_ != nullptr; }
    void SetActive(bool active);
    bool IsDefault() const { return default_session_; }
    bool AutoSessionName() const { return auto_session_name_; }
    void SetAutoSessionName(bool value);
    const std::string& SessionName() const { return session_name_; }
    void SetSessionName(std::string_view name);
    bool KeepConnections() const { return keep_connections_; }
    void SetKeepConnections(bool value) { keep_connections_ = value; }
    const std::string& PrivateDir() const { return private_dir_; }
    void SetPrivateDir(std::string_view dir);
    bool ForceBufferFlush() const { return force_buffer_flush_; }
    void SetForceBufferFlush(bool value);
    bool StrictChangeDetection() const { return strict_change_detection_; }
    void SetStrictChangeDetection(bool value);
    std::uint8_t LockRetryCount() const { return lock_retry_count_; }
    void SetLockRetryCount(std::uint8_t value);
    std::uint16_t LockWaitTime() const { return lock_wait_time_; }
    void SetLockWaitTime(std::uint16_t value);
    std::uint16_t LanguageID() const { return language_id_; }
    void SetLanguageID(std::uint16_t value);
    std::uint16_t SortID() const { return sort_id_; }
    void SetSortID(std::uint16_t value);
    std::int32_t AutoSessionNumber() const { return auto_number_; }

    // Enters the engine session lock (always, from any thread; re-entrant) and makes this
    // session's engine session current; a session without one is started first.
    void LockSession();
    void UnlockSession();
    void MakeCurrent();
    // nullptr while inactive.
    TDataSession* EngineSession() const { return engine_session_; }

    void AddPassword(std::string_view password);
    void RemovePassword(std::string_view password);
    void RemoveAllPasswords();
    // The engine asks when a table needs a password the session does not hold: OnPassword
    // answers, else the password prompt (`PasswordPrompt`) does; none answers false.
    bool GetPassword();

    // Finds or makes (as a temporary database) the database of that name, connects it and
    // counts one more use.
    TStrataDatabase& OpenDatabase(std::string_view name, db::TComponent* owner);
    void CloseDatabase(TStrataDatabase& database);
    // Case aside; nullptr when none.
    TStrataDatabase* FindDatabase(std::string_view name) const;
    const std::vector<TStrataDatabase*>& Databases() const { return databases_; }

    void Loaded() override;
    void SetName(std::string_view name) override;

    db::TNotifyEvent OnStartup;
    TPasswordEvent OnPassword;
    TDatabaseHook DatabaseHook;
    // The password dialog; the maintenance code installs it. Answers true to try again.
    static std::function<bool(TStrataSession& session)> PasswordPrompt;

  protected:
    void Notification(db::TComponent* component, db::TOperation operation) override;

  private:
    friend class TStrataSessionList;
    friend class TStrataDatabase;

    void Start();
    void Stop();
    void ApplySettings();
    void CheckNotActiveAutoSession() const;
    void NameAfterComponent();
    void SpreadSessionName();
    void AddDatabase(TStrataDatabase& database);
    void RemoveDatabase(TStrataDatabase& database);
    TStrataDatabase* FindDatabaseFor(std::string_view name, const db::TComponent* owner) const;

    std::unique_ptr<TDataSession> own_engine_session_;
    TDataSession* engine_session_ = nullptr;
    std::vector<TStrataDatabase*> databases_;
    bool streamed_active_ = false;
    bool keep_connections_ = true;
    bool default_session_ = false;
    bool auto_session_name_ = false;
    bool naming_ = false;
    bool in_list_ = false;
    std::string session_name_;
    std::int32_t auto_number_ = -1;
    std::string private_dir_;
    std::int32_t lock_count_ = 0;
    bool force_buffer_flush_ = false;
    bool strict_change_detection_ = false;
    std::uint8_t lock_retry_count_ = 15;
    std::uint16_t lock_wait_time_ = 100;
    std::uint16_t language_id_ = 0;
    std::uint16_t sort_id_ = 0;
};

// Holds the session lock for a scope.
class SessionLockGuard {
  public:
    explicit SessionLockGuard(TStrataSession& session) : session_(session) {
        session_.LockSession();
    }
    ~SessionLockGuard() { session_.UnlockSession(); }
    SessionLockGuard(const SessionLockGuard&) = delete;
    SessionLockGuard& operator=(const SessionLockGuard&) = delete;

  private:
    TStrataSession& session_;
};

class TStrataDatabase : public db::TComponent {
  public:
    explicit TStrataDatabase(db::TComponent* owner);
    ~TStrataDatabase() override;

    std::string_view EngineVersion() const { return kStrataEngineVersion; }
    bool Connected() const { return directory_ != nullptr; }
    void SetConnected(bool connected);
    void Open() { SetConnected(true); }
    void Close() { SetConnected(false); }
    const std::string& DatabaseName() const { return database_name_; }
    void SetDatabaseName(std::string_view name);
    // For a temporary database whose name is a path, the name; else the stored directory.
    std::string Directory() const;
    void SetDirectory(std::string_view directory);
    bool HandleShared() const { return handle_shared_; }
    void SetHandleShared(bool value);
    bool KeepConnection() const { return keep_connection_; }
    void SetKeepConnection(bool value);
    const std::string& SessionName() const { return session_name_; }
    void SetSessionName(std::string_view name);
    // nullptr after its session was freed.
    TStrataSession* Session() const { return session_; }
    bool Temporary() const { return temporary_; }
    std::int32_t UseCount() const { return use_count_; }
    // The engine directory; nullptr while disconnected.
    TDataDirectory* Handle() const { return directory_; }
    const std::vector<TStrataDBDataSet*>& DataSets() const { return datasets_; }

    void Loaded() override;

    db::TNotifyEvent BeforeConnect;

  protected:
    void Notification(db::TComponent* component, db::TOperation operation) override;

  private:
    friend class TStrataSession;
    friend class TStrataDBDataSet;

    void Connect();
    void Disconnect();
    // Finds the session named by SessionName and joins it.
    TStrataSession& ResolveSession();
    void MoveToSession(TStrataSession& session);
    void CheckNameClash(std::string_view name);
    void CheckNotConnected() const;

    std::vector<TStrataDBDataSet*> datasets_;
    bool keep_connection_ = true;
    bool temporary_ = false;
    bool streamed_connected_ = false;
    bool handle_shared_ = false;
    // Set while its datasets close, so their last use cannot free it under its own feet.
    bool disconnecting_ = false;
    std::int32_t use_count_ = 0;
    TDataDirectory* directory_ = nullptr;
    TStrataSession* session_ = nullptr;
    std::string session_name_;
    std::string database_name_;
    std::string directory_name_;
};

}  // namespace strata
