#include "framework/component.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "framework/exception.h"

namespace pelk {

namespace {

void Erase(std::vector<TComponent*>& list, TComponent* item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace

std::string TObject::ClassName() const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    std::string name = (status == 0 && demangled) ? demangled.get() : mangled;
    const size_t colon = name.rfind("::");
    return colon == std::string::npos ? name : name.substr(colon + 2);
}

void TPersistent::Assign(const TPersistent& Source) { Source.AssignTo(*this); }

void TPersistent::AssignTo(TPersistent& Dest) const {
    throw EConvertError("Cannot assign a " + ClassName() + " to a " + Dest.ClassName());
}

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() { Destroying(); }

void TComponent::SetDesigning(bool Value) {
    if (Value) FComponentState |= csDesigning;
    else FComponentState &= static_cast<uint8_t>(~csDesigning);
}

void TComponent::InsertComponent(TComponent* AComponent) {
    if (!AComponent || AComponent->FOwner == this) return;
    if (AComponent->FOwner) AComponent->FOwner->RemoveComponent(AComponent);
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
    Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
    if (!AComponent || AComponent->FOwner != this) return;
    Notification(AComponent, opRemove);
    Erase(FComponents, AComponent);
    AComponent->FOwner = nullptr;
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (!AComponent || AComponent == this) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end()) {
        FFreeNotifies.push_back(AComponent);
        AComponent->FNotifiedBy.push_back(this);
    }
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (!AComponent) return;
    Erase(FFreeNotifies, AComponent);
    Erase(AComponent->FNotifiedBy, this);
}

void TComponent::Loaded() { FComponentState &= static_cast<uint8_t>(~csLoading); }

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent) {
        // A component that goes away no longer needs to hear of us, nor we
        // of it; both lists of both sides forget the pair.
        Erase(FFreeNotifies, AComponent);
        Erase(AComponent->FNotifiedBy, this);
        Erase(FNotifiedBy, AComponent);
        Erase(AComponent->FFreeNotifies, this);
    }
    // A copy: a handler may change the list.
    const std::vector<TComponent*> owned = FComponents;
    for (TComponent* c : owned)
        if (c != AComponent) c->Notification(AComponent, Operation);
}

void TComponent::Destroying() {
    if (FDestroyingDone) return;
    FDestroyingDone = true;
    FComponentState |= csDestroying;
    // Those who asked to hear of our going.
    while (!FFreeNotifies.empty()) {
        TComponent* c = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        Erase(c->FNotifiedBy, this);
        c->Notification(this, opRemove);
    }
    // Those we asked to tell us: they must not try to any more.
    for (TComponent* c : FNotifiedBy) Erase(c->FFreeNotifies, this);
    FNotifiedBy.clear();
    if (FOwner) FOwner->RemoveComponent(this);
    for (TComponent* c : FComponents) c->FOwner = nullptr;
    FComponents.clear();
}

}  // namespace pelk
