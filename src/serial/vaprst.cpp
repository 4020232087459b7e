#include "serial/vaprst.h"

#include "framework/exception.h"

namespace pelk {

namespace {

void CheckRange(TVaIntW Value) {
    if (Value < 0) throw ERangeError("Range check error");
}

template <class T>
void Store(TVaPersistent& Group, T& Field, T Value) {
    if (Field == Value) return;
    Field = Value;
    Group.Changed();
}

// Ends the update also when a copy raises.
template <class F>
void InUpdate(TVaPersistent& Group, F&& Copy) {
    Group.BeginUpdate();
    try {
        Copy();
    } catch (...) {
        Group.EndUpdate();
        throw;
    }
    Group.EndUpdate();
}

}  // namespace

void TVaBuffers::SetReadSize(TVaIntW Value) {
    CheckRange(Value);
    Store(*this, FReadSize, Value);
}

void TVaBuffers::SetWriteSize(TVaIntW Value) {
    CheckRange(Value);
    Store(*this, FWriteSize, Value);
}

void TVaBuffers::SetReadTimeout(TVaIntW Value) {
    CheckRange(Value);
    FReadTimeout = Value;
}

void TVaBuffers::SetWriteTimeout(TVaIntW Value) {
    CheckRange(Value);
    FWriteTimeout = Value;
}

void TVaBuffers::Assign(const TPersistent& Source) {
    const auto* src = dynamic_cast<const TVaBuffers*>(&Source);
    if (!src) return TVaPersistent::Assign(Source);
    InUpdate(*this, [&] {
        FReadSize = src->FReadSize;
        FReadTimeout = src->FReadTimeout;
        FWriteSize = src->FWriteSize;
        FWriteTimeout = src->FWriteTimeout;
    });
}

void TVaFlowControl::SetOutCtsFlow(bool Value) { Store(*this, FOutCtsFlow, Value); }
void TVaFlowControl::SetOutDsrFlow(bool Value) { Store(*this, FOutDsrFlow, Value); }
void TVaFlowControl::SetControlDtr(TVaControlDtr Value) { Store(*this, FControlDtr, Value); }
void TVaFlowControl::SetControlRts(TVaControlRts Value) { Store(*this, FControlRts, Value); }
void TVaFlowControl::SetXonXoffOut(bool Value) { Store(*this, FXonXoffOut, Value); }
void TVaFlowControl::SetXonXoffIn(bool Value) { Store(*this, FXonXoffIn, Value); }
void TVaFlowControl::SetDsrSensitivity(bool Value) { Store(*this, FDsrSensitivity, Value); }
void TVaFlowControl::SetTxContinueOnXoff(bool Value) { Store(*this, FTxContinueOnXoff, Value); }

void TVaFlowControl::Assign(const TPersistent& Source) {
    const auto* src = dynamic_cast<const TVaFlowControl*>(&Source);
    if (!src) return TVaPersistent::Assign(Source);
    InUpdate(*this, [&] {
        SetOutCtsFlow(src->FOutCtsFlow);
        SetOutDsrFlow(src->FOutDsrFlow);
        SetControlDtr(src->FControlDtr);
        SetControlRts(src->FControlRts);
        SetXonXoffOut(src->FXonXoffOut);
        SetXonXoffIn(src->FXonXoffIn);
        SetDsrSensitivity(src->FDsrSensitivity);
        SetTxContinueOnXoff(src->FTxContinueOnXoff);
    });
}

void TVaEventChars::SetEventChar(int Index, char Value) {
    if (Index >= 1 && Index <= 5) FChars[Index - 1] = Value;
    Changed();
}

char TVaEventChars::GetEventChar(int Index) const { return (Index >= 1 && Index <= 5) ? FChars[Index - 1] : 0; }

void TVaEventChars::Assign(const TPersistent& Source) {
    const auto* src = dynamic_cast<const TVaEventChars*>(&Source);
    if (!src) return TVaPersistent::Assign(Source);
    InUpdate(*this, [&] {
        for (int i = 1; i <= 5; ++i) SetEventChar(i, src->GetEventChar(i));
    });
}

}  // namespace pelk
