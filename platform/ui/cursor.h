#pragma once

// An hourglass for the life of a scope (nested scopes stack).

namespace ui {

class THourglass {
  public:
    THourglass();
    ~THourglass();
    THourglass(const THourglass&) = delete;
    THourglass& operator=(const THourglass&) = delete;

  private:
    bool active_;
};

}  // namespace ui
