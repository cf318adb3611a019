#pragma once

// A list of equally sized images that controls draw from, with change links that tell
// every control showing the list when it changes.

#include <QImage>

#include <functional>
#include <vector>

#include "platform/ui/color.h"

namespace ui {

class TCanvas;
class TCustomImageList;

// Registered with an image list; unregisters itself when destroyed.
class TChangeLink {
  public:
    TChangeLink() = default;
    ~TChangeLink();
    TChangeLink(const TChangeLink&) = delete;
    TChangeLink& operator=(const TChangeLink&) = delete;

    TCustomImageList* Sender() const { return sender_; }
    std::function<void()> OnChange;

  private:
    friend class TCustomImageList;
    TCustomImageList* sender_ = nullptr;
};

class TCustomImageList {
  public:
    TCustomImageList(int width = 16, int height = 16);
    ~TCustomImageList();
    TCustomImageList(const TCustomImageList&) = delete;
    TCustomImageList& operator=(const TCustomImageList&) = delete;

    int Width() const { return width_; }
    int Height() const { return height_; }
    int Count() const { return static_cast<int>(images_.size()); }
    // Adds an image scaled to the list's size; returns its index.
    int Add(const QImage& image);
    // Adds an image whose pixels of mask_color are transparent.
    int AddMasked(const QImage& image, Color mask_color);
    void Delete(int index);
    void Clear();
    const QImage& Image(int index) const { return images_.at(static_cast<std::size_t>(index)); }
    // An index out of range draws nothing.
    void Draw(TCanvas& canvas, int x, int y, int index, bool enabled = true) const;

    void RegisterChanges(TChangeLink& link);
    void UnRegisterChanges(TChangeLink& link);

  private:
    void Change();
    int width_;
    int height_;
    std::vector<QImage> images_;
    std::vector<TChangeLink*> links_;
};

}  // namespace ui
