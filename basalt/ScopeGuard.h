// Runs an action when a scope ends, however it ends: the one release of something
// that has no owner type of its own (a va_list, a context from a bound function).
#pragma once

#include <utility>

namespace Basalt {

// Calls `action` once from the destructor unless Dismiss came first. The action
// must not throw.
template <typename Action>
class ScopeGuard {
  public:
    explicit ScopeGuard(Action action) : action_(std::move(action)) {}
    ~ScopeGuard() {
        if (active_) action_();
    }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;

    // The scope keeps what it would have released.
    void Dismiss() { active_ = false; }

  private:
    Action action_;
    bool active_ = true;
};

}  // namespace Basalt
