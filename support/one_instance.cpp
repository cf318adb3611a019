#include "support/one_instance.h"

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>

#include <sys/un.h>
#include <unistd.h>

#include "platform/db/exception.h"
#include "platform/os/file_system.h"
#include "platform/ui/application.h"
#include "support/email.h"

namespace support {

namespace {

constexpr std::size_t kSlotTextBytes = kInstanceSlotSize - 1;
constexpr char kAcknowledge = '\x06';

TOneInstance* the_instance = nullptr;

void PutInt32(std::uint8_t* at, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

std::int32_t GetInt32(const std::uint8_t* at) {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    return static_cast<std::int32_t>(bits);
}

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// The parameters of this process after the program name.
std::vector<std::string> CommandLineParams() {
    std::vector<std::string> params;
    const QStringList arguments = QCoreApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i)
        params.push_back(arguments[i].toStdString());
    return params;
}

// A socket's address holds at most this many bytes of its path.
constexpr std::size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

std::string Fnv1aHex(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

}  // namespace

std::optional<std::string> GuardName(std::string_view folder, std::string_view executable) {
    // "<folder>/<name>.<pid>.socket": the longest path the guard makes.
    constexpr std::size_t kSuffix = std::string_view(".socket").size() + 1 + 10;
    const std::size_t room = kMaxSocketPath - std::min(kMaxSocketPath, folder.size() + 1 + kSuffix);
    if (executable.size() <= room)
        return std::string(executable);
    // A name too long for the address is shortened by a hash of the whole
    // name, so copies of one program still meet and other names still do not.
    const std::string hash = Fnv1aHex(executable);
    if (room < hash.size() + 1)
        return std::nullopt;
    return Utf8PrefixBytes(executable, room - hash.size() - 1) + "-" + hash;
}

InstanceBlock EncodeInstanceBlock(std::span<const std::string> params) {
    InstanceBlock block{};
    const std::size_t count = std::min<std::size_t>(params.size(), kInstanceMaxParams);
    PutInt32(block.data() + 4, static_cast<std::int32_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const std::string text = Utf8PrefixBytes(params[i], kSlotTextBytes);
        std::memcpy(block.data() + 8 + i * kInstanceSlotSize, text.data(), text.size());
    }
    return block;
}

std::vector<std::string> DecodeInstanceBlock(std::span<const std::uint8_t> block) {
    std::vector<std::string> params;
    if (block.size() < kInstanceBlockSize)
        return params;
    const std::int32_t count = std::clamp(GetInt32(block.data() + 4), 0, kInstanceMaxParams);
    for (std::int32_t i = 0; i < count; ++i) {
        const auto* slot = block.data() + 8 + static_cast<std::size_t>(i) * kInstanceSlotSize;
        const auto* end = std::find(slot, slot + kSlotTextBytes, std::uint8_t{0});
        params.emplace_back(reinterpret_cast<const char*>(slot),
                            static_cast<std::size_t>(end - slot));
    }
    return params;
}

TOneInstance::TOneInstance(db::TComponent* owner) : db::TComponent(owner) {
    if (the_instance != nullptr)
        throw db::Exception("Drop only one of these components on your form !");
    the_instance = this;
}

TOneInstance::~TOneInstance() {
    if (server_) {
        const auto info = platform::os::QueryFileStatus(socket_path_, false);
        if (info.ok() && info->device == socket_device_ && info->inode == socket_inode_) {
            std::error_code ignored;
            std::filesystem::remove(socket_path_, ignored);
        }
        server_->close();
        server_.reset();
    }
    if (the_instance == this)
        the_instance = nullptr;
}

std::filesystem::path TOneInstance::RuntimeFolder() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != 0)
        return runtime;
    // Without a runtime folder, a folder of our own that nobody else may write.
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("corvane-runtime-" + std::to_string(getuid()));
    if (!platform::os::CreateDirectories(folder.string()).ok())
        throw std::system_error(EACCES, std::generic_category(), folder.string());
    const auto info = platform::os::QueryFileStatus(folder.string(), false);
    if (!info.ok() || !info->directory || !info->owned_by_user)
        throw std::system_error(EACCES, std::generic_category(), folder.string());
    return folder;
}

std::string TOneInstance::ExecutableName() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        return exe.filename().string();
    return QCoreApplication::applicationName().toStdString();
}

void TOneInstance::Loaded() {
    db::TComponent::Loaded();
    if (!ComponentState().Contains(db::csDesigning))
        Start();
}

void TOneInstance::Start() {
    std::filesystem::path folder;
    try {
        folder = RuntimeFolder();
    } catch (const std::exception&) {
        return;  // no place for the guard: the program runs unguarded
    }
    const std::string guarded =
        scope_.empty() ? ExecutableName() : ExecutableName() + "-" + Fnv1aHex(scope_);
    const std::optional<std::string> name = GuardName(folder.string(), guarded);
    if (!name)
        return;  // no socket can be named there: the program runs unguarded
    const std::filesystem::path lock_path = folder / (*name + ".lock");
    const std::filesystem::path socket_path = folder / (*name + ".socket");
    lock_path_ = lock_path.string();
    const platform::os::Status locked = lock_.TryAcquire(lock_path_);
    if (!locked.ok() && locked.code() != platform::os::kAccessDenied)
        return;
    if (HandOver(socket_path)) {
        handed_over_ = true;
        if (use_halt_to_exit_)
            std::exit(0);
        // Quits as soon as the event loop runs; the caller shows no main window.
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
        return;
    }
    BecomeFirstCopy(socket_path);
}

bool TOneInstance::HandOver(const std::filesystem::path& socket_path) {
    const auto deadline = Clock::now() + kInstanceWait;
    QLocalSocket socket;
    const QString server = QString::fromStdString(socket_path.string());
    // The first copy may hold the lock a moment before it listens; keep trying
    // while it still holds the lock.
    for (;;) {
        socket.connectToServer(server);
        if (socket.waitForConnected(MillisecondsLeft(deadline)))
            break;
        if (lock_.Held() || lock_.TryAcquire(lock_path_).ok() || MillisecondsLeft(deadline) == 0)
            return false;
        socket.abort();
        usleep(20000);
    }
    const InstanceBlock block = EncodeInstanceBlock(CommandLineParams());
    socket.write(reinterpret_cast<const char*>(block.data()), static_cast<qint64>(block.size()));
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(MillisecondsLeft(deadline)))
            return false;
    }
    // The first copy answers once it has read the block.
    const auto ack_deadline = Clock::now() + kInstanceWait;
    while (socket.bytesAvailable() == 0) {
        if (!socket.waitForReadyRead(MillisecondsLeft(ack_deadline)))
            return false;
    }
    char answer = 0;
    return socket.read(&answer, 1) == 1 && answer == kAcknowledge;
}

void TOneInstance::BecomeFirstCopy(const std::filesystem::path& socket_path) {
    // Made under a name of this copy's own, then moved over whatever a dead
    // copy, or one that no longer answers, left at the public name.
    std::filesystem::path own_path = socket_path;
    own_path.replace_filename(socket_path.stem().string() + "." + std::to_string(getpid()) +
                              socket_path.extension().string());
    const QString own_name = QString::fromStdString(own_path.string());
    QLocalServer::removeServer(own_name);
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(own_name))
        return;
    std::error_code error;
    std::filesystem::rename(own_path, socket_path, error);
    const auto info = platform::os::QueryFileStatus(socket_path.string(), false);
    if (error || !info.ok())
        return;
    socket_path_ = socket_path.string();
    socket_device_ = info->device;
    socket_inode_ = info->inode;
    QLocalServer* raw = server.get();
    QObject::connect(raw, &QLocalServer::newConnection, raw, [this, raw] {
        while (QLocalSocket* socket = raw->nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                if (buffer->size() < static_cast<qsizetype>(kInstanceBlockSize))
                    return;
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer->constData());
                const std::vector<std::string> params =
                    DecodeInstanceBlock(std::span(bytes, kInstanceBlockSize));
                buffer->clear();
                // A handler may run an event loop of its own (a modal box), in
                // which a later copy that stopped waiting takes its socket away.
                const QPointer<QLocalSocket> alive(socket);
                Received(params);
                if (!alive)
                    return;
                socket->write(&kAcknowledge, 1);
                socket->flush();
                socket->disconnectFromServer();
            });
        }
    });
    server_ = std::move(server);
}

void TOneInstance::Received(const std::vector<std::string>& params) {
    db::TStringList list;
    for (const std::string& param : params)
        list.Add(param);
    // A failing handler is shown like any other; the later copy still gets its
    // answer and ends.
    ui::Guarded([&] { DoInstanceStarted(list); });
}

void TOneInstance::DoInstanceStarted(db::TStringList& params) {
    if (show_on_new_instance_ && qobject_cast<QApplication*>(QCoreApplication::instance())) {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (!window->isWindow() || (!window->isVisible() && !window->isMinimized()))
                continue;
            if (window->isMinimized())
                window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
            window->show();
            window->raise();
            window->activateWindow();
        }
    }
    if (OnInstanceStarted)
        OnInstanceStarted(this, params);
}

}  // namespace support
