#pragma once

// Change monitoring of the folder tree's nodes with inotify.
//
// One worker thread per tree waits on one inotify instance (and on the mount
// table); each watched folder node holds a `TDiscMonitorThread`, its watch in
// that instance. A change posts a queued refresh of the node to the user
// interface thread and goes back to waiting: the worker never waits for the
// user interface, so a node's destructor, which only removes its watch, can
// never deadlock with it. Refreshes of one node are merged while one is still
// queued.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QObject;

namespace support {

class TDiscMonitor;

// One watched folder.
class TDiscMonitorThread {
  public:
    // Watches `path` with the notification filter (FILE_NOTIFY_CHANGE_...);
    // `refresh` runs on the receiver's thread after each change.
    TDiscMonitorThread(TDiscMonitor& monitor, std::filesystem::path path, std::uint32_t filter,
                       std::function<void()> refresh);
    ~TDiscMonitorThread();
    TDiscMonitorThread(const TDiscMonitorThread&) = delete;
    TDiscMonitorThread& operator=(const TDiscMonitorThread&) = delete;

    const std::filesystem::path& Path() const;
    std::uint32_t Filter() const;
    // Set when the watch could not be made (or the folder went away).
    bool Error() const;
    // Watches again with a new filter.
    void Restart(std::uint32_t filter);
    // The names in the folder that are links to folders: their going is a
    // folder's going, though the entry itself is no folder.
    void SetFolderLinks(std::vector<std::string> names);

    struct Link;

  private:
    TDiscMonitor& monitor_;
    std::shared_ptr<Link> link_;
};

class TDiscMonitor {
  public:
    // Refreshes are posted to `receiver`'s thread; it must outlive the monitor.
    explicit TDiscMonitor(QObject* receiver);
    ~TDiscMonitor();
    TDiscMonitor(const TDiscMonitor&) = delete;
    TDiscMonitor& operator=(const TDiscMonitor&) = delete;

    // Runs on the receiver's thread when volumes are mounted or unmounted.
    void SetOnMountsChanged(std::function<void()> handler);
    std::size_t WatchCount() const;
    // Handles events as read from the inotify instance: posts the refreshes of the folders
    // they concern, and of every watched folder when the queue overflowed and events were lost.
    void Dispatch(const char* events, std::size_t length);

  private:
    friend class TDiscMonitorThread;
    void Add(const std::shared_ptr<TDiscMonitorThread::Link>& link);
    void Remove(const std::shared_ptr<TDiscMonitorThread::Link>& link);
    void Run();
    void Post(const std::shared_ptr<TDiscMonitorThread::Link>& link);

    QObject* receiver_;
    int inotify_fd_ = -1;
    int wake_fd_ = -1;
    int mounts_fd_ = -1;
    mutable std::mutex mutex_;
    std::map<int, std::vector<std::weak_ptr<TDiscMonitorThread::Link>>> watches_;
    std::shared_ptr<std::function<void()>> on_mounts_changed_;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

}  // namespace support
