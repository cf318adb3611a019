#include "engine/dataset/strata_session.h"

#include <algorithm>
#include <exception>
#include <string>

#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/engine_globals.h"
#include "engine/dataset/strata_dataset.h"
#include "platform/db/exception.h"
#include "platform/db/names.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {

[[noreturn]] void Refuse(std::string message) {
    throw db::EDatabaseError(std::move(message));
}

// The engine keeps private directories as short strings.
std::string_view ShortString(std::string_view text) {
    return text.substr(0, std::min<std::size_t>(text.size(), 255));
}

// Language and sort reach an engine session that takes them; one without the setters keeps
// its own defaults.
template <class Session>
void PassCollation(Session& session, std::uint16_t language, std::uint16_t sort) {
    if constexpr (requires {
                      session.SetLanguageID(language);
                      session.SetSortID(sort);
                  }) {
        session.SetLanguageID(language);
        session.SetSortID(sort);
    }
}

bool StartsDatabaseName(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 129 && c <= 254);
}

}  // namespace

std::recursive_mutex& EngineSessionLock() {
    static std::recursive_mutex lock;
    return lock;
}

bool IsPathName(std::string_view name) {
    return name.empty() || name.find_first_of(":\\/") != std::string_view::npos;
}

TStrataSessionList::TStrataSessionList() {
    // This list stops the engine at exit, so the engine's own statics must outlive it: they
    // are made complete here, before the list is.
    (void)EngineSessionLock();
    if (!IsEngineStarted()) {
        StartEngine();
        (void)DefaultEngineSession();
        StopEngine();
    }
}

TStrataSessionList::~TStrataSessionList() {
    std::vector<TStrataSession*> sessions = Sessions();
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {
        try {
            (*it)->SetActive(false);
        } catch (...) {
            // Exit goes on; the files keep what was flushed.
        }
    }
    default_session_.reset();
}

TStrataSessionList& StrataSessions() {
    static TStrataSessionList list;
    return list;
}

TStrataSession& DefaultStrataSession() {
    return StrataSessions().GetDefaultSession();
}

void TStrataSessionList::EnsureDefaultSession() {
    if (default_session_ || making_default_) {
        return;
    }
    making_default_ = true;
    try {
        default_session_ = db::MakeComponent<TStrataSession>(nullptr);
        default_session_->SetSessionName("Default");
    } catch (...) {
        making_default_ = false;
        throw;
    }
    making_default_ = false;
}

void TStrataSessionList::Add(TStrataSession& session) {
    EnsureDefaultSession();
    std::lock_guard guard(lock_);
    session.default_session_ = making_default_;
    sessions_.push_back(&session);
}

void TStrataSessionList::Remove(TStrataSession& session) {
    std::lock_guard guard(lock_);
    std::erase(sessions_, &session);
}

TStrataSession* TStrataSessionList::FindSession(std::string_view name) {
    if (name.empty()) {
        return &GetDefaultSession();
    }
    std::lock_guard guard(lock_);
    for (TStrataSession* session : sessions_) {
        if (db::SameName(session->SessionName(), name)) {
            return session;
        }
    }
    return nullptr;
}

TStrataSession& TStrataSessionList::GetSession(std::string_view name) {
    TStrataSession* session = FindSession(name);
    if (session == nullptr) {
        Refuse("Session name " + std::string(name) + " is not valid.");
    }
    return *session;
}

TStrataSession& TStrataSessionList::GetDefaultSession() {
    EnsureDefaultSession();
    return *default_session_;
}

std::vector<TStrataSession*> TStrataSessionList::Sessions() const {
    std::lock_guard guard(lock_);
    return sessions_;
}

std::int64_t TStrataSessionList::Count() const {
    std::lock_guard guard(lock_);
    return static_cast<std::int64_t>(sessions_.size());
}

std::int32_t TStrataSessionList::TakeAutoNumber() {
    std::lock_guard guard(EngineSessionLock());
    const auto free = std::find(auto_numbers_.begin(), auto_numbers_.end(), false);
    const auto number = static_cast<std::int32_t>(free - auto_numbers_.begin());
    if (free == auto_numbers_.end()) {
        auto_numbers_.push_back(true);
    } else {
        *free = true;
    }
    return number;
}

void TStrataSessionList::FreeAutoNumber(std::int32_t number) {
    std::lock_guard guard(EngineSessionLock());
    if (number >= 0 && static_cast<std::size_t>(number) < auto_numbers_.size()) {
        auto_numbers_[static_cast<std::size_t>(number)] = false;
    }
}

std::function<bool(TStrataSession& session)> TStrataSession::PasswordPrompt;

TStrataSession::TStrataSession(db::TComponent* owner) : db::TComponent(owner) {
    if (owner != nullptr) {
        for (std::int64_t i = 0; i < owner->ComponentCount(); ++i) {
            auto* other = dynamic_cast<TStrataSession*>(owner->Components(i));
            if (other != nullptr && other != this && other->AutoSessionName()) {
                Refuse("This auto-session already exists.");
            }
        }
    }
    language_id_ = platform::nls::GetUserDefaultLangID();
    StrataSessions().Add(*this);
    in_list_ = true;
}

TStrataSession::~TStrataSession() {
    Destroying();
    try {
        SetActive(false);
    } catch (...) {
        // Destruction goes on; the files keep what was flushed.
    }
    if (auto_number_ >= 0) {
        StrataSessions().FreeAutoNumber(auto_number_);
    }
    for (TStrataDatabase* database : std::vector<TStrataDatabase*>(databases_)) {
        database->session_ = nullptr;
    }
    databases_.clear();
    if (in_list_) {
        StrataSessions().Remove(*this);
    }
}

void TStrataSession::SetActive(bool active) {
    if (ComponentState().Contains(db::csLoading)) {
        streamed_active_ = active;
        return;
    }
    if (active == Active()) {
        return;
    }
    if (active) {
        Start();
    } else {
        Stop();
    }
}

void TStrataSession::Start() {
    std::lock_guard guard(EngineSessionLock());
    if (Active()) {
        return;
    }
    if (OnStartup) {
        OnStartup(this);
    }
    if (session_name_.empty()) {
        Refuse("Session name is missing.");
    }
    if (!default_session_) {
        DefaultStrataSession().SetActive(true);
        own_engine_session_ = std::make_unique<TDataSession>();
        engine_session_ = own_engine_session_.get();
    } else {
        StartEngine();
        engine_session_ = &DefaultEngineSession();
    }
    SetCurrentEngineSession(engine_session_);
    try {
        ApplySettings();
    } catch (...) {
        Stop();
        throw;
    }
}

void TStrataSession::ApplySettings() {
    engine_session_->SetPrivateDir(ShortString(private_dir_));
    engine_session_->SetStrictChangeDetection(strict_change_detection_);
    engine_session_->SetForceBufferFlush(force_buffer_flush_);
    engine_session_->SetLockRetryCount(lock_retry_count_);
    engine_session_->SetLockWaitTime(lock_wait_time_);
    PassCollation(*engine_session_, language_id_, sort_id_);
}

void TStrataSession::Stop() {
    std::lock_guard guard(EngineSessionLock());
    if (!Active()) {
        return;
    }
    if (default_session_) {
        // The engine ends with the default session; sessions still running on it would be
        // left with freed files, so they stop first.
        for (TStrataSession* other : StrataSessions().Sessions()) {
            if (other != this && other->Active()) {
                other->Stop();
            }
        }
    }
    SetCurrentEngineSession(engine_session_);
    const std::vector<TStrataDatabase*> databases(databases_);
    // The session stops whatever a database's close reports; the first failure goes on.
    std::exception_ptr failure;
    for (auto it = databases.rbegin(); it != databases.rend(); ++it) {
        TStrataDatabase* database = *it;
        // Freeing one database may free others with it.
        if (std::find(databases_.begin(), databases_.end(), database) == databases_.end()) {
            continue;
        }
        try {
            if (database->Temporary() && database->Owner() == this &&
                !database->ComponentState().Contains(db::csDestroying)) {
                database->Free();
            } else {
                database->Disconnect();
            }
        } catch (...) {
            if (!failure) {
                failure = std::current_exception();
            }
        }
    }
    if (default_session_) {
        engine_session_ = nullptr;
        StopEngine();
    } else {
        own_engine_session_.reset();
        engine_session_ = nullptr;
        TStrataSession& fallback = DefaultStrataSession();
        SetCurrentEngineSession(fallback.engine_session_);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TStrataSession::LockSession() {
    EngineSessionLock().lock();
    ++lock_count_;
    try {
        MakeCurrent();
    } catch (...) {
        --lock_count_;
        EngineSessionLock().unlock();
        throw;
    }
}

void TStrataSession::UnlockSession() {
    --lock_count_;
    EngineSessionLock().unlock();
}

void TStrataSession::MakeCurrent() {
    if (!Active()) {
        Start();
    }
    SetCurrentEngineSession(engine_session_);
}

void TStrataSession::SetPrivateDir(std::string_view dir) {
    if (!Active()) {
        private_dir_ = dir;
        return;
    }
    SessionLockGuard guard(*this);
    if (private_dir_ != dir) {
        private_dir_ = dir;
        engine_session_->SetPrivateDir(ShortString(private_dir_));
    }
}

void TStrataSession::SetForceBufferFlush(bool value) {
    if (!Active()) {
        force_buffer_flush_ = value;
        return;
    }
    SessionLockGuard guard(*this);
    if (force_buffer_flush_ != value) {
        force_buffer_flush_ = value;
        engine_session_->SetForceBufferFlush(value);
    }
}

void TStrataSession::SetStrictChangeDetection(bool value) {
    if (!Active()) {
        strict_change_detection_ = value;
        return;
    }
    SessionLockGuard guard(*this);
    if (strict_change_detection_ != value) {
        strict_change_detection_ = value;
        engine_session_->SetStrictChangeDetection(value);
    }
}

void TStrataSession::SetLockRetryCount(std::uint8_t value) {
    if (!Active()) {
        lock_retry_count_ = value;
        return;
    }
    SessionLockGuard guard(*this);
    if (lock_retry_count_ != value) {
        lock_retry_count_ = value;
        engine_session_->SetLockRetryCount(value);
    }
}

void TStrataSession::SetLockWaitTime(std::uint16_t value) {
    if (!Active()) {
        lock_wait_time_ = value;
        return;
    }
    SessionLockGuard guard(*this);
    if (lock_wait_time_ != value) {
        lock_wait_time_ = value;
        engine_session_->SetLockWaitTime(value);
    }
}

void TStrataSession::SetLanguageID(std::uint16_t value) {
    if (!Active()) {
        language_id_ = value;
        return;
    }
    SessionLockGuard guard(*this);
    if (language_id_ != value) {
        language_id_ = value;
        PassCollation(*engine_session_, language_id_, sort_id_);
    }
}

void TStrataSession::SetSortID(std::uint16_t value) {
    if (!Active()) {
        sort_id_ = value;
        return;
    }
    SessionLockGuard guard(*this);
    if (sort_id_ != value) {
        sort_id_ = value;
        PassCollation(*engine_session_, language_id_, sort_id_);
    }
}

void TStrataSession::CheckNotActiveAutoSession() const {
    if (auto_session_name_ && !naming_) {
        Refuse("Cannot perform this operation on the active auto-session.");
    }
}

void TStrataSession::SetSessionName(std::string_view name) {
    CheckNotActiveAutoSession();
    if (name == session_name_) {
        return;
    }
    if (Active()) {
        Refuse("Cannot perform this operation on an active session.");
    }
    if (!name.empty()) {
        for (TStrataSession* other : StrataSessions().Sessions()) {
            if (other != this && db::SameName(other->SessionName(), name)) {
                Refuse("Session name " + std::string(name) + " already exists.");
            }
        }
    }
    session_name_ = name;
}

void TStrataSession::NameAfterComponent() {
    naming_ = true;
    try {
        SetSessionName(Name() + "_" + std::to_string(auto_number_ + 1));
    } catch (...) {
        naming_ = false;
        throw;
    }
    naming_ = false;
}

void TStrataSession::SpreadSessionName() {
    db::TComponent* owner = Owner();
    if (owner == nullptr) {
        return;
    }
    for (std::int64_t i = 0; i < owner->ComponentCount(); ++i) {
        db::TComponent* component = owner->Components(i);
        if (auto* dataset = dynamic_cast<TStrataDBDataSet*>(component); dataset != nullptr) {
            dataset->SetSessionName(session_name_);
        } else if (auto* database = dynamic_cast<TStrataDatabase*>(component);
                   database != nullptr && database->Session() != this && !database->Connected()) {
            database->SetSessionName(session_name_);
        }
    }
}

void TStrataSession::SetAutoSessionName(bool value) {
    if (value == auto_session_name_) {
        return;
    }
    if (value) {
        if (Active()) {
            Refuse("Cannot perform this operation on an active session.");
        }
        if (db::TComponent* owner = Owner(); owner != nullptr) {
            for (std::int64_t i = 0; i < owner->ComponentCount(); ++i) {
                auto* other = dynamic_cast<TStrataSession*>(owner->Components(i));
                if (other != nullptr && other != this && other->Active()) {
                    Refuse("The active auto-session can be the only active session.");
                }
            }
        }
        auto_number_ = StrataSessions().TakeAutoNumber();
        auto_session_name_ = true;
        try {
            NameAfterComponent();
        } catch (...) {
            auto_session_name_ = false;
            StrataSessions().FreeAutoNumber(auto_number_);
            auto_number_ = -1;
            throw;
        }
        SpreadSessionName();
        return;
    }
    auto_session_name_ = false;
    StrataSessions().FreeAutoNumber(auto_number_);
    auto_number_ = -1;
}

void TStrataSession::SetName(std::string_view name) {
    db::TComponent::SetName(name);
    if (auto_session_name_) {
        NameAfterComponent();
        SpreadSessionName();
    }
}

void TStrataSession::Loaded() {
    db::TComponent::Loaded();
    if (auto_session_name_) {
        SpreadSessionName();
    }
    if (streamed_active_) {
        streamed_active_ = false;
        SetActive(true);
    }
}

void TStrataSession::Notification(db::TComponent* component, db::TOperation operation) {
    db::TComponent::Notification(component, operation);
    if (!auto_session_name_ || operation != db::opInsert || component == nullptr ||
        component->Owner() != Owner()) {
        return;
    }
    if (auto* dataset = dynamic_cast<TStrataDBDataSet*>(component); dataset != nullptr) {
        dataset->SetSessionName(session_name_);
    } else if (auto* database = dynamic_cast<TStrataDatabase*>(component);
               database != nullptr && !database->Connected()) {
        database->SetSessionName(session_name_);
    }
}

void TStrataSession::AddPassword(std::string_view password) {
    SessionLockGuard guard(*this);
    engine_session_->AddPassword(ShortString(password));
}

void TStrataSession::RemovePassword(std::string_view password) {
    SessionLockGuard guard(*this);
    engine_session_->RemovePassword(ShortString(password));
}

void TStrataSession::RemoveAllPasswords() {
    SessionLockGuard guard(*this);
    engine_session_->RemoveAllPasswords();
}

bool TStrataSession::GetPassword() {
    if (OnPassword) {
        bool continue_ = false;
        OnPassword(this, continue_);
        return continue_;
    }
    return PasswordPrompt ? PasswordPrompt(*this) : false;
}

void TStrataSession::AddDatabase(TStrataDatabase& database) {
    databases_.push_back(&database);
    if (DatabaseHook) {
        DatabaseHook(DatabaseEvent::Added, database);
    }
}

void TStrataSession::RemoveDatabase(TStrataDatabase& database) {
    std::erase(databases_, &database);
    if (DatabaseHook && !ComponentState().Contains(db::csDestroying)) {
        DatabaseHook(DatabaseEvent::Removed, database);
    }
}

TStrataDatabase* TStrataSession::FindDatabase(std::string_view name) const {
    for (TStrataDatabase* database : databases_) {
        if (db::SameName(database->DatabaseName(), name)) {
            return database;
        }
    }
    return nullptr;
}

TStrataDatabase* TStrataSession::FindDatabaseFor(std::string_view name,
                                                 const db::TComponent* owner) const {
    for (TStrataDatabase* database : databases_) {
        if (owner != nullptr && database->Owner() == owner && database->HandleShared() &&
            db::SameName(database->DatabaseName(), name)) {
            return database;
        }
    }
    for (TStrataDatabase* database : databases_) {
        if ((!database->DatabaseName().empty() || database->Temporary()) &&
            db::SameName(database->DatabaseName(), name)) {
            return database;
        }
    }
    return nullptr;
}

TStrataDatabase& TStrataSession::OpenDatabase(std::string_view name, db::TComponent* owner) {
    SessionLockGuard guard(*this);
    TStrataDatabase* database = FindDatabaseFor(name, owner);
    if (database == nullptr) {
        database = db::MakeOwned<TStrataDatabase>(*this);
        database->temporary_ = true;
        database->database_name_ = name;
        database->keep_connection_ = keep_connections_;
    }
    database->SetConnected(true);
    ++database->use_count_;
    return *database;
}

void TStrataSession::CloseDatabase(TStrataDatabase& database) {
    SessionLockGuard guard(*this);
    if (database.use_count_ > 0) {
        --database.use_count_;
    }
    if (database.use_count_ != 0 || database.KeepConnection() || database.disconnecting_) {
        return;
    }
    if (!database.Temporary()) {
        database.SetConnected(false);
    } else if (!database.ComponentState().Contains(db::csDestroying)) {
        if (database.Owner() == this) {
            database.Free();
        } else {
            database.SetConnected(false);
        }
    }
}

TStrataDatabase::TStrataDatabase(db::TComponent* owner) : db::TComponent(owner) {
    auto* session = dynamic_cast<TStrataSession*>(owner);
    session_ = session != nullptr ? session : &DefaultStrataSession();
    session_name_ = session_->SessionName();
    session_->AddDatabase(*this);
}

TStrataDatabase::~TStrataDatabase() {
    Destroying();
    try {
        Disconnect();
    } catch (...) {
        // Destruction goes on.
    }
    for (TStrataDBDataSet* dataset : std::vector<TStrataDBDataSet*>(datasets_)) {
        dataset->ForgetDatabase();
    }
    datasets_.clear();
    if (session_ != nullptr) {
        session_->RemoveDatabase(*this);
    }
}

void TStrataDatabase::SetConnected(bool connected) {
    if (ComponentState().Contains(db::csLoading)) {
        streamed_connected_ = connected;
        return;
    }
    if (connected) {
        Connect();
    } else {
        Disconnect();
    }
}

TStrataSession& TStrataDatabase::ResolveSession() {
    TStrataSession& session = StrataSessions().GetSession(session_name_);
    if (&session != session_) {
        MoveToSession(session);
    }
    return session;
}

void TStrataDatabase::MoveToSession(TStrataSession& session) {
    if (session_ != nullptr) {
        session_->RemoveDatabase(*this);
    }
    session_ = &session;
    session_->AddDatabase(*this);
}

void TStrataDatabase::Connect() {
    if (directory_ != nullptr) {
        return;
    }
    if (BeforeConnect) {
        BeforeConnect(this);
    }
    if (!temporary_ && database_name_.empty()) {
        Refuse("Database name is missing.");
    }
    TStrataSession& session = ResolveSession();
    CheckNameClash(database_name_);
    SessionLockGuard guard(session);
    if (handle_shared_) {
        for (TStrataDatabase* other : session.Databases()) {
            if (other != this && other->HandleShared() && other->Connected() &&
                db::SameName(other->DatabaseName(), database_name_)) {
                // Borrowing counts as a use of the directory, so each database closes its
                // own reference and the other's cursors keep theirs.
                directory_ = other->directory_;
                directory_->AddRef();
                return;
            }
        }
    }
    const bool name_is_path = IsPathName(database_name_);
    const std::string alias = name_is_path ? std::string() : database_name_;
    const std::string path = Directory();
    directory_ = session.EngineSession()->OpenDirectory(ShortString(alias), ShortString(path));
    if (session.DatabaseHook) {
        session.DatabaseHook(DatabaseEvent::Connected, *this);
    }
}

void TStrataDatabase::Disconnect() {
    if (directory_ == nullptr) {
        return;
    }
    if (session_ != nullptr && session_->DatabaseHook) {
        session_->DatabaseHook(DatabaseEvent::Disconnecting, *this);
    }
    disconnecting_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{disconnecting_};
    // Every dataset closes, and the directory with them, whatever one of them reports; the
    // first failure (a failed sync) goes on once all is closed.
    std::exception_ptr failure;
    while (!datasets_.empty()) {
        const std::size_t before = datasets_.size();
        TStrataDBDataSet* dataset = datasets_.back();
        try {
            dataset->Disconnect();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
        if (datasets_.size() == before && !datasets_.empty() && datasets_.back() == dataset) {
            // A dataset that stayed in the list after closing lets go of it here.
            dataset->ForgetDatabase();
            datasets_.pop_back();
        }
    }
    if (directory_ != nullptr) {
        TDataDirectory* directory = directory_;
        directory_ = nullptr;
        use_count_ = 0;
        if (session_ != nullptr && session_->Active()) {
            SessionLockGuard guard(*session_);
            session_->EngineSession()->CloseDirectory(directory);
        }
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TStrataDatabase::CheckNotConnected() const {
    if (Connected()) {
        Refuse("Cannot perform this operation on an open database.");
    }
}

void TStrataDatabase::CheckNameClash(std::string_view name) {
    if (session_ == nullptr || name.empty()) {
        return;
    }
    for (TStrataDatabase* other : std::vector<TStrataDatabase*>(session_->Databases())) {
        if (other == this || !db::SameName(other->DatabaseName(), name)) {
            continue;
        }
        if (handle_shared_ && other->HandleShared()) {
            continue;
        }
        if (!other->Temporary() || other->UseCount() > 0) {
            Refuse("Database name " + std::string(name) + " already exists.");
        }
        if (other->Owner() == session_) {
            other->Free();
        } else {
            other->SetConnected(false);
        }
    }
}

void TStrataDatabase::SetDatabaseName(std::string_view name) {
    if (ComponentState().Contains(db::csLoading)) {
        database_name_ = name;
        return;
    }
    if (name == database_name_) {
        return;
    }
    CheckNotConnected();
    if (!temporary_ && !name.empty() &&
        (IsPathName(name) || !StartsDatabaseName(static_cast<unsigned char>(name.front())))) {
        Refuse("Database name " + std::string(name) + " is not valid.");
    }
    CheckNameClash(name);
    database_name_ = name;
}

std::string TStrataDatabase::Directory() const {
    if (temporary_ && IsPathName(database_name_)) {
        return database_name_;
    }
    return directory_name_;
}

void TStrataDatabase::SetDirectory(std::string_view directory) {
    CheckNotConnected();
    directory_name_ = directory;
}

void TStrataDatabase::SetHandleShared(bool value) {
    CheckNotConnected();
    handle_shared_ = value;
}

void TStrataDatabase::SetKeepConnection(bool value) {
    if (value == keep_connection_) {
        return;
    }
    keep_connection_ = value;
    if (!value && use_count_ == 0) {
        Disconnect();
    }
}

void TStrataDatabase::SetSessionName(std::string_view name) {
    if (ComponentState().Contains(db::csLoading)) {
        session_name_ = name;
        return;
    }
    if (name == session_name_) {
        return;
    }
    CheckNotConnected();
    session_name_ = name;
    if (TStrataSession* session = StrataSessions().FindSession(name);
        session != nullptr && session != session_) {
        MoveToSession(*session);
    }
}

void TStrataDatabase::Loaded() {
    db::TComponent::Loaded();
    if (streamed_connected_) {
        streamed_connected_ = false;
        SetConnected(true);
    } else if (StrataSessions().FindSession(session_name_) != nullptr) {
        ResolveSession();
    }
}

void TStrataDatabase::Notification(db::TComponent* component, db::TOperation operation) {
    db::TComponent::Notification(component, operation);
    if (operation == db::opRemove && component != nullptr && component == session_ &&
        !session_->IsDefault()) {
        session_ = nullptr;
    }
}

}  // namespace strata
