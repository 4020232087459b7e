#pragma once
// The serial component's option groups: queue sizes and timeouts
// (TVaBuffers), flow control (TVaFlowControl) and special characters
// (TVaEventChars). Each reports its changes through OnChange, which the
// owning component sets; Assign copies a whole group and reports one change.
#include <cstdint>

#include "serial/vaclasses.h"
#include "serial/vatypes.h"

namespace pelk {

class TVaBuffers : public TVaPersistent {
public:
    TVaIntW ReadSize() const { return FReadSize; }
    TVaIntW WriteSize() const { return FWriteSize; }
    TVaIntW ReadTimeout() const { return FReadTimeout; }
    TVaIntW WriteTimeout() const { return FWriteTimeout; }
    // Store and report a change when the value differs. A negative value
    // raises ERangeError ("Range check error") and changes nothing.
    void SetReadSize(TVaIntW Value);
    void SetWriteSize(TVaIntW Value);
    // Plain values, read at each use; no change is reported.
    void SetReadTimeout(TVaIntW Value);
    void SetWriteTimeout(TVaIntW Value);

    void Assign(const TPersistent& Source) override;

private:
    TVaIntW FReadSize = 4096;
    TVaIntW FWriteSize = 2048;
    TVaIntW FReadTimeout = 1000;
    TVaIntW FWriteTimeout = 1000;
};

class TVaFlowControl : public TVaPersistent {
public:
    bool OutCtsFlow() const { return FOutCtsFlow; }
    bool OutDsrFlow() const { return FOutDsrFlow; }
    TVaControlDtr ControlDtr() const { return FControlDtr; }
    TVaControlRts ControlRts() const { return FControlRts; }
    bool XonXoffOut() const { return FXonXoffOut; }
    bool XonXoffIn() const { return FXonXoffIn; }
    bool DsrSensitivity() const { return FDsrSensitivity; }
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    // Each stores and reports a change when the value differs.
    void SetOutCtsFlow(bool Value);
    void SetOutDsrFlow(bool Value);
    void SetControlDtr(TVaControlDtr Value);
    void SetControlRts(TVaControlRts Value);
    void SetXonXoffOut(bool Value);
    void SetXonXoffIn(bool Value);
    void SetDsrSensitivity(bool Value);
    void SetTxContinueOnXoff(bool Value);

    void Assign(const TPersistent& Source) override;

private:
    bool FOutCtsFlow = false;
    bool FOutDsrFlow = false;
    TVaControlDtr FControlDtr = dtrDisabled;
    TVaControlRts FControlRts = rtsDisabled;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDsrSensitivity = false;
    bool FTxContinueOnXoff = false;
};

class TVaEventChars : public TVaPersistent {
public:
    char XonChar() const { return FChars[0]; }
    char XoffChar() const { return FChars[1]; }
    char ErrorChar() const { return FChars[2]; }
    char EventChar() const { return FChars[3]; }
    char EofChar() const { return FChars[4]; }
    void SetXonChar(char Value) { SetEventChar(1, Value); }
    void SetXoffChar(char Value) { SetEventChar(2, Value); }
    void SetErrorChar(char Value) { SetEventChar(3, Value); }
    void SetEventChar(char Value) { SetEventChar(4, Value); }
    void SetEofChar(char Value) { SetEventChar(5, Value); }
    // Index 1 XonChar, 2 XoffChar, 3 ErrorChar, 4 EventChar, 5 EofChar (any
    // other index stores nothing); reports a change in every case, also when
    // the value is the current one.
    void SetEventChar(int Index, char Value);
    char GetEventChar(int Index) const;

    void Assign(const TPersistent& Source) override;

private:
    char FChars[5] = {17, 19, 0, 0, 0};
};

}  // namespace pelk
