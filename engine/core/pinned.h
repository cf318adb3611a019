#pragma once

// A cached item (an index page, a blob block) pinned in its file's cache for one scope:
// the cache never evicts a pinned item, and the pin is given back when the guard ends,
// also on an exception.

#include <utility>

namespace strata {

template <class File, class Item, void (File::*Unpin)(Item*)>
class Pinned {
  public:
    Pinned() = default;
    Pinned(File& file, Item* item) : file_(&file), item_(item) {}
    Pinned(Pinned&& other) noexcept
        : file_(other.file_), item_(std::exchange(other.item_, nullptr)) {}
    Pinned& operator=(Pinned&& other) noexcept {
        if (this != &other) {
            Release();
            file_ = other.file_;
            item_ = std::exchange(other.item_, nullptr);
        }
        return *this;
    }
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;
    ~Pinned() { Release(); }

    Item* operator->() const { return item_; }
    Item& operator*() const { return *item_; }
    Item* get() const { return item_; }
    explicit operator bool() const { return item_ != nullptr; }

    void Release() {
        if (item_ != nullptr)
            (file_->*Unpin)(std::exchange(item_, nullptr));
    }

  private:
    File* file_ = nullptr;
    Item* item_ = nullptr;
};

}  // namespace strata
