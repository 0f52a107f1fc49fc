#pragma once
// The wait-cursor seam: long synchronous operations show the wait cursor while
// they run. The Qt layer installs a hook that sets and restores an override
// cursor; without one (the core alone, tests) nothing happens.
#include <functional>
#include <utility>

// Called with true when an operation starts waiting and false when it ends.
using WaitCursorHook = std::function<void(bool waiting)>;

inline WaitCursorHook& waitCursorHook() {
    static WaitCursorHook hook;
    return hook;
}

// Installs `hook`; an empty function restores the no-op default.
inline void setWaitCursorHook(WaitCursorHook hook) {
    waitCursorHook() = std::move(hook);
}

inline void showWaitCursor(bool waiting) {
    if (waitCursorHook())
        waitCursorHook()(waiting);
}

// Shows the wait cursor for the life of the object; the normal cursor comes
// back on every path out of the scope.
class WaitCursorScope {
  public:
    WaitCursorScope() { showWaitCursor(true); }
    ~WaitCursorScope() { showWaitCursor(false); }
    WaitCursorScope(const WaitCursorScope&) = delete;
    WaitCursorScope& operator=(const WaitCursorScope&) = delete;
};
