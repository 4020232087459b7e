#pragma once
// Bases of the serial component's classes: TVaPersistent, the base of the
// option groups, which reports its changes; and TVaComponent, the base of
// the port component and of client components.
#include <cstdint>

#include "framework/component.h"

namespace pelk {

class TVaPersistent : public TPersistent {
public:
    TVaPersistent() = default;
    // A copy belongs to no owner: it starts without OnChange and outside
    // any update. Copying into an existing group goes through Assign, which
    // reports the change.
    TVaPersistent(const TVaPersistent&) : TPersistent() {}
    TVaPersistent& operator=(const TVaPersistent&) = delete;

    // Called with the group whenever it changes, outside an update.
    TNotifyEvent OnChange;

    // Calls OnChange when no update is in progress.
    void Changed();
    void BeginUpdate() { ++FUpdateCount; }
    // Ends one level of update (never below 0) and then reports a change,
    // also when nothing changed and also without a BeginUpdate before it.
    void EndUpdate();
    int32_t UpdateCount() const { return FUpdateCount; }

private:
    int32_t FUpdateCount = 0;
};

class TVaComponent : public TComponent {
public:
    using TComponent::TComponent;
};

}  // namespace pelk
