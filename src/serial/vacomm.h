#pragma once
// The event-driven serial port component (TVaCustomComm, TVaComm), its
// write buffer, and the client mechanism (TVaDispatcher, TVaCommComponent)
// through which other components receive a port's data and line events.
//
// Threads. Everything here is called on the main thread. An open port runs
// two worker threads of its own (vacomm_threads.h): an event thread, which
// waits for received bytes and line events and hands each batch to the main
// thread (framework/main_thread.h), and a write thread, which drains the
// bytes that WriteBuf queued. Every event handler therefore runs on the main thread.
// Close never waits for a worker: it tells both to stop and closes the
// device; a delivery that was already handed over and runs after Close (or
// after the component has been destroyed) finds its thread stopped and does
// nothing. The threads hold the device, the write lock and themselves by
// shared ownership, so nothing they use is freed under them.
//
// Properties are getter/setter pairs (Baudrate / SetBaudrate ...); the option
// groups are reached by reference (Buffers(), FlowControl(), EventChars())
// and assigned whole with SetBuffers & co. Events are public std::function
// members, empty when not set.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/thread.h"
#include "serial/vaclasses.h"
#include "serial/vaconst.h"
#include "serial/vaobjects.h"
#include "serial/vaprst.h"
#include "serial/vatypes.h"

namespace pelk {

// The device layer (serial_device.h), chosen at build time.
#ifdef _WIN32
namespace win32 {
class SerialDevice;
}
using SerialDevice = win32::SerialDevice;
#else
namespace posix {
class SerialDevice;
}
using SerialDevice = posix::SerialDevice;
#endif

class TVaCustomComm;
class TVaCommComponent;
// The port's worker threads (vacomm_threads.h, private to the component).
class TVaCommEventThread;
class TVaCommWriteThread;

// A linear byte buffer (not a ring): the bytes held are always at the start
// of the block. It has no lock of its own.
class TVaCommBuffer {
public:
    explicit TVaCommBuffer(int Size);
    TVaCommBuffer(const TVaCommBuffer&) = delete;
    TVaCommBuffer& operator=(const TVaCommBuffer&) = delete;

    uint8_t* DataPtr() { return FData.get(); }
    int Count() const { return FCount; }
    int Capacity() const { return FCapacity; }
    // Copies Count bytes behind the ones held. Bytes already held are never
    // moved by it. Count more than the room left raises std::length_error.
    void Write(const void* Data, int Count);
    // Copies the first Count bytes (at most those held) out, leaving them;
    // returns how many were copied.
    int Peek(void* Data, int Count) const;
    // Peek, then Remove.
    int Read(void* Data, int Count);
    // Moves the bytes after the first Count to the start; a Count larger
    // than the bytes held removes everything.
    void Remove(int Count);
    // Forgets the bytes without moving them.
    void Clear() { FCount = 0; }

private:
    std::unique_ptr<uint8_t[]> FData;
    int FCapacity;
    int FCount = 0;
};

using TVaCommRxCharEvent = std::function<void(TVaCustomComm* Sender, int Count)>;
using TVaCommRxBufEvent = std::function<void(TVaCustomComm* Sender, PVaData Data, int Count)>;
using TVaCommErrorEvent = std::function<void(TVaCustomComm* Sender, uint32_t Errors)>;
using TVaCommHangUpEvent = std::function<void(TVaCustomComm* Sender, const std::string& Message)>;

// The link between one client component and at most one port.
class TVaDispatcher {
public:
    explicit TVaDispatcher(TVaCommComponent* AClient);
    ~TVaDispatcher();  // detaches from its port
    TVaDispatcher(const TVaDispatcher&) = delete;
    TVaDispatcher& operator=(const TVaDispatcher&) = delete;

    TVaCustomComm* Comm() const { return FComm; }
    TVaCommComponent* Client() const { return FClient; }
    bool Active() const { return FActive; }
    void SetActive(bool Value) { FActive = Value; }

    // Forwarded to the attached port; without one they do nothing and
    // return 0 or false.
    void SetDTRState(bool State);
    void PurgeRead();
    void PurgeWrite();
    void PurgeReadWrite();
    int WriteBuf(const void* Data, int Count);
    bool WriteText(const std::string& S);
    bool WriteChar(char Ch);

    // From the port: passed to the client component while active.
    void DataEvent(PVaData Data, int Count);
    void LineEvent(uint32_t EvtMask);

private:
    friend class TVaCustomComm;
    bool FActive = true;
    TVaCustomComm* FComm = nullptr;
    TVaCommComponent* FClient;
};

class TVaCustomComm : public TVaComponent {
public:
    explicit TVaCustomComm(TComponent* AOwner = nullptr);
    ~TVaCustomComm() override;

    // --- Operations --------------------------------------------------------
    // Opens the device named by GetDeviceName, applies the settings, starts
    // the threads and raises OnOpen. On failure the port stays closed and
    // EVaCommError says why.
    void Open();
    // Stops the threads (without waiting for them), closes the device and
    // raises OnClose. Nothing on a closed port.
    void Close();
    bool Active() const { return FDevice != nullptr; }
    // Raises "Can't perform this operation while port is open" when open.
    void CheckOpen();

    // Queues (or, with DirectWrite, writes) Count bytes and returns Count;
    // 0 on a closed port. After a hang-up it accepts the bytes and drops
    // them, raising nothing.
    int WriteBuf(const void* Data, int Count);
    bool WriteText(const std::string& S);
    bool WriteChar(char Ch);
    // Takes up to Count bytes already received; returns how many.
    int ReadBuf(void* Data, int Count);
    // Every byte waiting in the input queue.
    std::string ReadText();
    bool ReadChar(char& Ch);
    int ReadBufUsed();
    int ReadBufFree();
    int WriteBufUsed();
    int WriteBufFree();

    TVaCommStatus GetCommStatus();
    bool ClearLineErrors();
    void PurgeRead();
    void PurgeWrite();
    void PurgeReadWrite();
    void PurgeBuffers(int Flags);
    // Raise "... this port has no modem lines" on an open device that has
    // none (CheckModemLines); on a closed port they do nothing.
    void SetDTR(bool State);
    void SetRTS(bool State);
    // The open device has modem control lines (DTR, RTS) to set: false for a
    // pseudo-terminal and while closed.
    bool HasModemLines();
    // Raises "<device>: this port has no modem lines" when the open device
    // has none. The line settings applied at Open and on a change still
    // tolerate such a device; only the explicit line operations refuse it.
    void CheckModemLines();
    void SetBreak(bool State);
    void SetXon(bool State);
    void ResetDev();
    void ToggleCommState(uint32_t Func);
    bool GetComStat(int Index);
    bool GetModemStatus(int Index);
    void GetProperties();
    // The capability record GetProperties filled.
    const TCommProp& CommProp() const { return FCommProp; }
    std::string GetDeviceName() const;
    // The device file the open port's name resolved to (for a COMn link, the
    // file it points to); empty while closed.
    std::string DevicePath() const;
    // The open device has hung up or gone away (see OnHangUp).
    bool HungUp() const;
    // The line settings the open device really runs with, read back from
    // it ("115200 bit/s, 8 data bits, no parity, 1 stop bit, ..."); empty
    // while closed or when the device cannot tell.
    std::string AppliedLineSettings() const;
    [[noreturn]] void Error(const std::string& Msg);
    void Watch(bool Ok, const std::string& Msg);
    void WriteLock() { FWriteLock->Acquire(); }
    void WriteUnlock() { FWriteLock->Release(); }
    void GlobalLock() { FGlobalLock.Acquire(); }
    void GlobalUnlock() { FGlobalLock.Release(); }

    void InsertClient(TVaDispatcher* Dispatcher);
    void RemoveClient(TVaDispatcher* Dispatcher);
    void DestroyClients();
    void EnableControls() { FControlsEnabled = true; }
    void DisableControls() { FControlsEnabled = false; }
    bool ControlsEnabled() const { return FControlsEnabled; }
    int ClientCount() const { return static_cast<int>(FClients.size()); }

    // The device control block the current settings stand for.
    TDCB BuildDCB() const;
    // The event mask of the open port (computed at Open).
    uint32_t EventMask() const { return FEventMask; }
    bool HasEventThread() const { return FEventThread != nullptr; }
    bool HasWriteThread() const { return FWriteThread != nullptr; }

    void Loaded() override;

    // --- Properties --------------------------------------------------------
    bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool Value) { FAutoOpen = Value; }
    TVaBaudrate Baudrate() const { return FBaudrate; }
    void SetBaudrate(TVaBaudrate Value);
    TVaParity Parity() const { return FParity; }
    void SetParity(TVaParity Value);
    bool ParityCheck() const { return FParityCheck; }
    void SetParityCheck(bool Value);
    TVaDatabits Databits() const { return FDatabits; }
    void SetDatabits(TVaDatabits Value);
    TVaStopbits Stopbits() const { return FStopbits; }
    void SetStopbits(TVaStopbits Value);
    TVaEventChars& EventChars() { return FEventChars; }
    void SetEventChars(const TVaEventChars& Value) { FEventChars.Assign(Value); }
    TVaFlowControl& FlowControl() { return FFlowControl; }
    void SetFlowControl(const TVaFlowControl& Value) { FFlowControl.Assign(Value); }
    TVaCommOptions Options() const { return FOptions; }
    void SetOptions(TVaCommOptions Value);
    TVaPortInt PortNum() const { return FPortNum; }
    void SetPortNum(TVaPortInt Value);
    const std::string& DeviceName() const { return FDeviceName; }
    void SetDeviceName(const std::string& Value);
    TVaCommEvents MonitorEvents() const { return FMonitorEvents; }
    void SetMonitorEvents(TVaCommEvents Value);
    TVaBuffers& Buffers() { return FBuffers; }
    void SetBuffers(const TVaBuffers& Value);
    TThreadPriority EventPriority() const { return FEventPriority; }
    void SetEventPriority(TThreadPriority Value);
    TThreadPriority WritePriority() const { return FWritePriority; }
    void SetWritePriority(TThreadPriority Value);
    bool DirectWrite() const { return FDirectWrite; }
    void SetDirectWrite(bool Value);
    bool UpdateDCB() const { return FUpdateDCB; }
    void SetUpdateDCB(bool Value);
    int32_t UserBaudrate() const { return FUserBaudrate; }
    void SetUserBaudrate(int32_t Value);

    // --- Events ------------------------------------------------------------
    TNotifyEvent OnOpen;
    TNotifyEvent OnClose;
    TNotifyEvent OnCts;
    TNotifyEvent OnDsr;
    TNotifyEvent OnRlsd;
    TNotifyEvent OnRing;
    TNotifyEvent OnBreak;
    TVaCommErrorEvent OnError;
    TVaCommRxCharEvent OnRxChar;
    TVaCommRxBufEvent OnRxBuf;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnPErr;
    TNotifyEvent OnRx80Full;
    TNotifyEvent OnEvent1;
    TNotifyEvent OnEvent2;
    // Raised once, on the main thread, when the open device hangs up or
    // goes away (a pty whose other side closed, a USB adapter pulled out).
    // Message is the component's text for it and names the device path.
    // The port is still Active when it is raised; the handler may Close it.
    // After a hang-up nothing more is written to the device, and WriteBuf
    // raises nothing (it accepts and drops). Reads find nothing waiting and
    // status queries and purges raise nothing either: the hang-up is
    // reported here alone.
    TVaCommHangUpEvent OnHangUp;

protected:
    virtual void CreateHandle();
    void DestroyHandle();
    void SetDCB();
    void UpdateBuffers();
    void UpdateTimeouts();
    void UpdateEventMask();
    virtual void CreateThreads();
    void DestroyThreads();
    void DoOpen();
    void DoClose();
    void BuffersChanged(TObject* Sender);
    void EventCharsChanged(TObject* Sender);
    void FlowControlChanged(TObject* Sender);

    virtual void HandleDataEvent();
    virtual void HandleLineEvent(uint32_t EvtMask);
    // Raises OnHangUp for Device if it is still the open one.
    virtual void HandleHangUp(const SerialDevice* Device);
    virtual void WriteEvents(uint32_t EvtMask);
    virtual void WriteBuffer(PVaData Data, int Count);

private:
    friend class TVaCommEventThread;
    friend class TVaCommWriteThread;

    template <class T>
    void ChangeSetting(T& Field, T Value);
    int DirectWriteBuf(const void* Data, int Count);

    std::shared_ptr<SerialDevice> FDevice;  // the port handle; null while closed
    std::shared_ptr<TVaCriticalSection> FWriteLock;
    TVaCriticalSection FGlobalLock;
    TCommProp FCommProp;
    std::shared_ptr<TVaCommEventThread> FEventThread;
    std::shared_ptr<TVaCommWriteThread> FWriteThread;
    uint32_t FEventMask = 0;
    std::vector<TVaDispatcher*> FClients;
    bool FControlsEnabled = true;

    bool FAutoOpen = false;
    TVaBaudrate FBaudrate = br1200;
    TVaParity FParity = paNone;
    bool FParityCheck = false;
    TVaDatabits FDatabits = db8;
    TVaStopbits FStopbits = sb1;
    TVaEventChars FEventChars;
    TVaFlowControl FFlowControl;
    TVaCommOptions FOptions;
    TVaPortInt FPortNum = 0;
    std::string FDeviceName = "COM%d";
    TVaCommEvents FMonitorEvents{ceError, ceRxChar, ceTxEmpty};
    TVaBuffers FBuffers;
    TThreadPriority FEventPriority = tpNormal;
    TThreadPriority FWritePriority = tpHighest;
    bool FDirectWrite = false;
    bool FUpdateDCB = true;
    int32_t FUserBaudrate = 0;
    // The groups as the device last took them, to undo a refused change.
    TVaEventChars FAppliedEventChars;
    TVaFlowControl FAppliedFlowControl;
};

// The component with the stored properties of a window definition; it has
// the same state and operations as TVaCustomComm.
class TVaComm : public TVaCustomComm {
public:
    explicit TVaComm(TComponent* AOwner = nullptr) : TVaCustomComm(AOwner) {}
};

// A client component: receives the data and line events of the port it is
// attached to (Comm) through its own dispatcher.
class TVaCommComponent : public TVaComponent {
public:
    explicit TVaCommComponent(TComponent* AOwner = nullptr);
    ~TVaCommComponent() override;

    TVaCustomComm* Comm() const { return FComm; }
    // Detaches from the current port, then attaches to Value (if any).
    void SetComm(TVaCustomComm* Value);
    bool GetActive() const { return FDispatcher->Active(); }
    void SetActive(bool Value) { FDispatcher->SetActive(Value); }
    TVaDispatcher& Dispatcher() { return *FDispatcher; }

    // For derived client components; empty here.
    virtual void DataChanged(PVaData Data, int Count);
    virtual void LineChanged(uint32_t EvtMask);

protected:
    // A Comm that leaves its owner or is destroyed is let go.
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    TVaCustomComm* FComm = nullptr;
    std::unique_ptr<TVaDispatcher> FDispatcher;
};

}  // namespace pelk
