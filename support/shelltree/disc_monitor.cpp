#include "support/shelltree/disc_monitor.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "platform/os/file_system.h"
#include "support/shelltree/shell_items.h"

namespace support {

struct TDiscMonitorThread::Link {
    std::filesystem::path path;
    std::atomic<std::uint32_t> filter{0};
    std::function<void()> refresh;  // read on the receiver's thread only
    std::atomic<bool> pending{false};
    std::atomic<bool> error{false};
    bool alive = true;                      // cleared on the receiver's thread when the node goes
    int wd = -1;                            // guarded by the monitor's mutex
    std::vector<std::string> folder_links;  // guarded by the monitor's mutex
};

namespace {

std::uint32_t InotifyMask(std::uint32_t filter) {
    std::uint32_t mask = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (filter & (FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME))
        mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    if (filter & FILE_NOTIFY_CHANGE_ATTRIBUTES)
        mask |= IN_ATTRIB;
    return mask;
}

enum class Interest { none, wanted, if_folder };

// Whether an event concerns a watch with this filter. An entry that is no
// folder may still be a link to one: one that goes is looked up among the
// links the folder is known to hold, one that comes is looked at (without
// the lock, as the look may be slow).
Interest Wanted(const inotify_event& event, const char* name,
                const TDiscMonitorThread::Link& link) {
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB))
        return Interest::wanted;
    const std::uint32_t filter = link.filter;
    const bool directory = (event.mask & IN_ISDIR) != 0;
    if (filter & (directory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME))
        return Interest::wanted;
    if (directory || !(filter & FILE_NOTIFY_CHANGE_DIR_NAME) || event.len == 0)
        return Interest::none;
    if (event.mask & (IN_CREATE | IN_MOVED_TO))
        return Interest::if_folder;
    return std::find(link.folder_links.begin(), link.folder_links.end(), std::string(name)) !=
                   link.folder_links.end()
               ? Interest::wanted
               : Interest::none;
}

}  // namespace

TDiscMonitorThread::TDiscMonitorThread(TDiscMonitor& monitor, std::filesystem::path path,
                                       std::uint32_t filter, std::function<void()> refresh)
    : monitor_(monitor), link_(std::make_shared<Link>()) {
    link_->path = std::move(path);
    link_->filter = filter;
    link_->refresh = std::move(refresh);
    monitor_.Add(link_);
}

TDiscMonitorThread::~TDiscMonitorThread() {
    link_->alive = false;  // a refresh still queued finds the node gone
    monitor_.Remove(link_);
}

const std::filesystem::path& TDiscMonitorThread::Path() const {
    return link_->path;
}

std::uint32_t TDiscMonitorThread::Filter() const {
    return link_->filter;
}

bool TDiscMonitorThread::Error() const {
    return link_->error;
}

void TDiscMonitorThread::SetFolderLinks(std::vector<std::string> names) {
    std::lock_guard lock(monitor_.mutex_);
    link_->folder_links = std::move(names);
}

void TDiscMonitorThread::Restart(std::uint32_t filter) {
    monitor_.Remove(link_);
    link_->filter = filter;
    link_->error = false;
    monitor_.Add(link_);
}

TDiscMonitor::TDiscMonitor(QObject* receiver) : receiver_(receiver) {
    inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (const auto mounts = platform::os::OpenForPolling("/proc/self/mounts"); mounts.ok())
        mounts_fd_ = *mounts;
    if (inotify_fd_ >= 0 && wake_fd_ >= 0)
        worker_ = std::thread([this] { Run(); });
}

TDiscMonitor::~TDiscMonitor() {
    stop_ = true;
    if (wake_fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
    if (worker_.joinable())
        worker_.join();
    for (int fd : {inotify_fd_, wake_fd_, mounts_fd_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void TDiscMonitor::SetOnMountsChanged(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    on_mounts_changed_ = std::make_shared<std::function<void()>>(std::move(handler));
}

std::size_t TDiscMonitor::WatchCount() const {
    std::lock_guard lock(mutex_);
    return watches_.size();
}

void TDiscMonitor::Add(const std::shared_ptr<TDiscMonitorThread::Link>& link) {
    if (inotify_fd_ < 0) {
        link->error = true;
        return;
    }
    std::lock_guard lock(mutex_);
    // Nodes of one folder share a watch; its mask serves all of them.
    std::uint32_t mask = InotifyMask(link->filter);
    const int wd = inotify_add_watch(inotify_fd_, link->path.c_str(), mask | IN_MASK_ADD);
    if (wd < 0) {
        link->error = true;
        return;
    }
    link->wd = wd;
    watches_[wd].push_back(link);
}

void TDiscMonitor::Remove(const std::shared_ptr<TDiscMonitorThread::Link>& link) {
    std::lock_guard lock(mutex_);
    if (link->wd < 0)
        return;
    const auto at = watches_.find(link->wd);
    if (at != watches_.end()) {
        auto& links = at->second;
        std::erase_if(links, [&](const auto& weak) {
            const auto strong = weak.lock();
            return !strong || strong == link;
        });
        if (links.empty()) {
            inotify_rm_watch(inotify_fd_, link->wd);
            watches_.erase(at);
        }
    }
    link->wd = -1;
}

void TDiscMonitor::Post(const std::shared_ptr<TDiscMonitorThread::Link>& link) {
    if (link->pending.exchange(true))
        return;  // one refresh is still queued
    std::weak_ptr<TDiscMonitorThread::Link> weak = link;
    QMetaObject::invokeMethod(
        receiver_,
        [weak] {
            const auto strong = weak.lock();
            if (!strong || !strong->alive)
                return;  // the node went away meanwhile
            strong->pending = false;
            if (strong->refresh)
                strong->refresh();
        },
        Qt::QueuedConnection);
}

void TDiscMonitor::Run() {
    alignas(inotify_event) std::array<char, 16384> buffer{};
    while (!stop_) {
        std::array<pollfd, 3> fds{pollfd{inotify_fd_, POLLIN, 0}, pollfd{wake_fd_, POLLIN, 0},
                                  pollfd{mounts_fd_, POLLPRI, 0}};
        const nfds_t count = mounts_fd_ >= 0 ? 3 : 2;
        if (::poll(fds.data(), count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (stop_)
            return;
        if (fds[1].revents & POLLIN) {
            std::uint64_t value = 0;
            [[maybe_unused]] ssize_t n = ::read(wake_fd_, &value, sizeof value);
        }
        if (count == 3 && (fds[2].revents & (POLLPRI | POLLERR))) {
            std::shared_ptr<std::function<void()>> handler;
            {
                std::lock_guard lock(mutex_);
                handler = on_mounts_changed_;
            }
            if (handler && *handler)
                QMetaObject::invokeMethod(
                    receiver_, [handler] { (*handler)(); }, Qt::QueuedConnection);
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        for (;;) {
            const ssize_t length = ::read(inotify_fd_, buffer.data(), buffer.size());
            if (length <= 0)
                break;
            Dispatch(buffer.data(), static_cast<std::size_t>(length));
        }
    }
}

void TDiscMonitor::Dispatch(const char* events, std::size_t length) {
    std::vector<std::shared_ptr<TDiscMonitorThread::Link>> touched;
    std::vector<std::pair<std::shared_ptr<TDiscMonitorThread::Link>, std::filesystem::path>> maybe;
    const auto touch = [&touched](const std::shared_ptr<TDiscMonitorThread::Link>& link) {
        if (std::find(touched.begin(), touched.end(), link) == touched.end())
            touched.push_back(link);
    };
    {
        std::lock_guard lock(mutex_);
        for (std::size_t at = 0; at + sizeof(inotify_event) <= length;) {
            inotify_event event;
            std::memcpy(&event, events + at, sizeof event);
            const char* name = events + at + sizeof(inotify_event);
            at += sizeof(inotify_event) + event.len;
            if (event.mask & IN_Q_OVERFLOW) {
                // Events were lost: what changed is unknown, so every watched folder is read
                // again rather than left stale.
                for (const auto& [wd, links] : watches_)
                    for (const auto& weak : links)
                        if (const auto link = weak.lock())
                            touch(link);
                continue;
            }
            const auto watch = watches_.find(event.wd);
            if (watch == watches_.end())
                continue;
            for (const auto& weak : watch->second) {
                const auto link = weak.lock();
                if (!link)
                    continue;
                if (event.mask & IN_IGNORED) {
                    // The folder is gone; its node goes with the parent's refresh,
                    // or, when a folder stands there again, is read and watched
                    // afresh by its own.
                    link->error = true;
                    link->wd = -1;
                    touch(link);
                } else if (event.mask & IN_MOVE_SELF) {
                    // The watch went with the folder to its new name, but the node
                    // stands for the old one: the parent's refresh watches afresh
                    // whatever comes to stand there.
                    link->error = true;
                    link->wd = -1;
                    touch(link);
                } else if (const Interest interest = Wanted(event, name, *link);
                           interest == Interest::if_folder) {
                    maybe.emplace_back(link, link->path / name);
                } else if (interest == Interest::wanted) {
                    touch(link);
                }
            }
            if (event.mask & IN_MOVE_SELF)
                inotify_rm_watch(inotify_fd_, event.wd);
            if (event.mask & (IN_IGNORED | IN_MOVE_SELF))
                watches_.erase(watch);
        }
    }
    for (const auto& [link, path] : maybe) {
        const auto status = platform::os::QueryFileStatus(path.string(), true);
        if (status.ok() && status->directory)
            touch(link);
    }
    for (const auto& link : touched)
        Post(link);
}

}  // namespace support
