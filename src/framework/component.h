#pragma once
// The class framework's object, persistent and component bases, as far as
// the serial component uses them.
//
// TObject: a polymorphic root with a class name.
// TPersistent: an object whose properties can be copied with Assign; copying
//   between unrelated classes raises EConvertError.
// TComponent: a persistent object with an owner. The owner keeps a list of
//   the components it owns and hears about each one that is inserted or
//   removed (Notification), and passes these notices on to every component
//   it owns; a component can also ask another, unrelated one for a notice
//   when that one goes away (FreeNotification). After the creator has set a
//   component's stored properties it calls Loaded once.
//
// Unlike the toolkit's framework, an owner does not free the components it
// owns: in C++ they are members or held by smart pointers, which free them.
// When a component goes away it leaves its owner, and the components it owns
// are left without an owner.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pelk {

class TObject {
public:
    virtual ~TObject() = default;
    // The class name without its namespace, e.g. "TVaBuffers".
    std::string ClassName() const;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

class TPersistent : public TObject {
public:
    // Copies Source's properties into this object. The base version asks
    // Source to copy itself (AssignTo), which refuses with EConvertError
    // "Cannot assign a <source class> to a <destination class>".
    virtual void Assign(const TPersistent& Source);

protected:
    virtual void AssignTo(TPersistent& Dest) const;
};

enum TOperation : uint8_t { opInsert, opRemove };

enum TComponentStateFlag : uint8_t {
    csLoading = 0x01,
    csDesigning = 0x02,
    csDestroying = 0x04,
};

class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* AOwner = nullptr);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }

    // Set of TComponentStateFlag.
    uint8_t ComponentState() const { return FComponentState; }
    bool InState(TComponentStateFlag Flag) const { return (FComponentState & Flag) != 0; }
    // Marks the component as being loaded; Loaded clears the mark.
    void BeginLoading() { FComponentState |= csLoading; }
    // Marks the component as edited in a designer (never the case in the
    // application; kept for the behaviour that depends on it).
    void SetDesigning(bool Value);

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }
    void InsertComponent(TComponent* AComponent);
    // Takes AComponent out of this owner's list; the owner and every
    // component it owns hear opRemove for it first.
    void RemoveComponent(TComponent* AComponent);

    // Asks for a Notification(this-component-going-away, opRemove) to
    // AComponent when this component is destroyed.
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    // Runs once after the creator has applied the stored properties.
    virtual void Loaded();

protected:
    // Notice that AComponent was inserted into or removed from this
    // component's owner, or is being destroyed. The base version forgets a
    // free notification of a removed component and passes the notice to
    // every owned component.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

    // Starts the destruction: sets csDestroying, sends the removal notices
    // and leaves the owner. Safe to call more than once. A derived class
    // whose notices need the whole object calls it first in its destructor.
    void Destroying();

private:
    TComponent* FOwner = nullptr;
    std::string FName;
    uint8_t FComponentState = 0;
    bool FDestroyingDone = false;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;  // to be told when this one goes
    std::vector<TComponent*> FNotifiedBy;    // whose going we want to hear of
};

}  // namespace pelk
