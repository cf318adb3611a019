#pragma once

// Window hooks: a component sees the messages of a windowed control before the
// control handles them and after, without the control's cooperation.
//
// The control is reached through `THookTarget`, whose "window procedure" can be
// replaced. Several `TWindowHook`s on one control share one `TControlHook`,
// whose replacement procedure runs the chains; the process-wide `THookList`
// keeps the control hooks and defers re-hooking and freeing through posted
// messages, so that no control hook is freed while its own procedure runs.
// `QtHookTarget` (window_hook_qt.h) is the target for a Qt widget.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/db/component.h"

namespace support {

inline constexpr std::uint32_t WM_DESTROY = 2;
inline constexpr std::uint32_t WM_MOVE = 3;
inline constexpr std::uint32_t WM_SIZE = 5;
inline constexpr std::uint32_t WM_CLOSE = 0x10;
inline constexpr std::uint32_t WM_QUIT = 18;
inline constexpr std::uint32_t WM_SHOWWINDOW = 0x18;
inline constexpr std::uint32_t WM_GETMINMAXINFO = 0x24;
inline constexpr std::uint32_t WM_NCHITTEST = 0x84;
inline constexpr std::uint32_t WM_INITMENUPOPUP = 0x117;
// A Qt event without a message of its own arrives as this number plus its type.
inline constexpr std::uint32_t WM_QTEVENT = 0xC000;
// The hook list's private messages.
inline constexpr std::uint32_t CM_REHOOK = 45138;
inline constexpr std::uint32_t CM_RELEASE = 45139;

class TWindowHook;

struct TMessage {
    std::uint32_t Msg = 0;
    std::intptr_t WParam = 0;
    std::intptr_t LParam = 0;
    std::intptr_t Result = 0;
    // The Qt event the message stands for, when it stands for one.
    void* Event = nullptr;
};

struct TPointL {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// The record of WM_GETMINMAXINFO, handed over in LParam.
struct TMinMaxInfo {
    TPointL ptReserved;
    TPointL ptMaxSize;
    TPointL ptMaxPosition;
    TPointL ptMinTrackSize;
    TPointL ptMaxTrackSize;
};

using TWndMethod = std::function<void(TMessage&)>;
// A window procedure; its identity is the pointer, so a hook can tell whether
// the control still runs its replacement.
using WindowProc = std::shared_ptr<const TWndMethod>;

// A windowed control as the hooks see it.
class THookTarget {
  public:
    THookTarget() = default;
    THookTarget(const THookTarget&) = delete;
    THookTarget& operator=(const THookTarget&) = delete;
    // Tells the hooks that the control is gone.
    virtual ~THookTarget();

    virtual bool HandleAllocated() const = 0;
    virtual void HandleNeeded() = 0;
    // The procedure the control runs for its messages; empty for its own.
    virtual WindowProc GetWindowProc() const = 0;
    virtual void SetWindowProc(WindowProc proc) = 0;
    // The control's own handling of a message.
    virtual void DefaultHandler(TMessage& message) = 0;
    virtual bool Designing() const { return false; }
    virtual bool Destroying() const { return destroying_; }

    // Sends a message through whatever procedure the control runs.
    void Perform(TMessage& message);

  protected:
    // A derived destructor calls this first, so the hooks let go while the
    // control is still whole.
    void Gone();

  private:
    bool destroying_ = false;
};

class TControlHook {
  public:
    explicit TControlHook(THookTarget* control);
    ~TControlHook();
    TControlHook(const TControlHook&) = delete;
    TControlHook& operator=(const TControlHook&) = delete;

    THookTarget* Control() const { return control_; }
    const std::vector<TWindowHook*>& Hooks() const { return hooks_; }
    WindowProc Replacement() const { return replacement_; }
    bool Destroying() const { return destroying_; }

    void Install();
    void Remove();
    void Register(TWindowHook& hook);
    void Unregister(TWindowHook& hook);

  private:
    friend class THookList;
    void WndProc(TMessage& message);
    void NotifyBefore(TMessage& message, bool& handled);
    void NotifyAfter(TMessage& message, bool& handled);
    void ControlGone();

    THookTarget* control_;
    WindowProc replacement_;
    WindowProc previous_;  // empty: the control's own handling
    bool has_previous_ = false;
    std::vector<TWindowHook*> hooks_;
    bool destroying_ = false;
};

// The process's control hooks, made on first use.
class THookList {
  public:
    static THookList& Instance();
    static bool Exists();

    // The control hook of a control, made when asked and missing.
    TControlHook* Find(THookTarget* control, bool create);
    bool Contains(const TControlHook* hook) const;
    std::size_t Count() const { return hooks_.size(); }

    // Posts one of the private messages; it is handled once the current message
    // is done (a queued call on the Qt event loop, or `ProcessPosted`).
    void Post(std::uint32_t message, TControlHook* hook);
    // Handles what was posted, for code running without a Qt event loop.
    void ProcessPosted();
    void WndProc(TMessage& message);

  private:
    friend class TControlHook;
    friend class THookTarget;
    THookList() = default;
    void Take(TControlHook* hook);
    void TargetGone(THookTarget* control);

    std::vector<std::unique_ptr<TControlHook>> hooks_;
    std::vector<TMessage> posted_;
};

using THookMessageEvent = std::function<void(TWindowHook* sender, TMessage& msg, bool& handled)>;

class TWindowHook : public db::TComponent {
  public:
    explicit TWindowHook(db::TComponent* owner);
    ~TWindowHook() override;

    bool Active() const { return active_; }
    void SetActive(bool value);
    THookTarget* WinControl() const { return win_control_; }
    void SetWinControl(THookTarget* control);

    THookMessageEvent BeforeMessage;
    THookMessageEvent AfterMessage;

  protected:
    virtual void DoBeforeMessage(TMessage& msg, bool& handled);
    virtual void DoAfterMessage(TMessage& msg, bool& handled);

  private:
    friend class TControlHook;
    void Register();
    void Unregister();

    bool active_ = true;
    THookTarget* win_control_ = nullptr;
    TControlHook* control_hook_ = nullptr;
};

}  // namespace support
