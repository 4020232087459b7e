#include "serial/vacomm.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>
#include <stdexcept>

#include "framework/exception.h"
#include "framework/format.h"
#include "serial/serial_device.h"
#include "serial/vacomm_threads.h"
#include "serial/vautils.h"

namespace pelk {

// ---------------------------------------------------------------------------
// TVaCommBuffer

TVaCommBuffer::TVaCommBuffer(int Size) : FData(new uint8_t[Size > 0 ? Size : 1]), FCapacity(Size > 0 ? Size : 0) {}

void TVaCommBuffer::Write(const void* Data, int Count) {
    if (Count <= 0) return;
    if (Count > FCapacity - FCount) throw std::length_error("TVaCommBuffer: no room for the bytes");
    std::memcpy(FData.get() + FCount, Data, static_cast<size_t>(Count));
    FCount += Count;
}

int TVaCommBuffer::Peek(void* Data, int Count) const {
    const int n = std::clamp(Count, 0, FCount);
    if (n > 0) std::memcpy(Data, FData.get(), static_cast<size_t>(n));
    return n;
}

int TVaCommBuffer::Read(void* Data, int Count) {
    const int n = Peek(Data, Count);
    Remove(n);
    return n;
}

void TVaCommBuffer::Remove(int Count) {
    if (Count <= 0) return;
    if (Count >= FCount) {
        FCount = 0;
        return;
    }
    std::memmove(FData.get(), FData.get() + Count, static_cast<size_t>(FCount - Count));
    FCount -= Count;
}

// ---------------------------------------------------------------------------
// TVaDispatcher

TVaDispatcher::TVaDispatcher(TVaCommComponent* AClient) : FClient(AClient) {}

TVaDispatcher::~TVaDispatcher() {
    if (FComm) FComm->RemoveClient(this);
}

void TVaDispatcher::SetDTRState(bool State) {
    if (FComm) FComm->SetDTR(State);
}
void TVaDispatcher::PurgeRead() {
    if (FComm) FComm->PurgeRead();
}
void TVaDispatcher::PurgeWrite() {
    if (FComm) FComm->PurgeWrite();
}
void TVaDispatcher::PurgeReadWrite() {
    if (FComm) FComm->PurgeReadWrite();
}
int TVaDispatcher::WriteBuf(const void* Data, int Count) { return FComm ? FComm->WriteBuf(Data, Count) : 0; }
bool TVaDispatcher::WriteText(const std::string& S) { return FComm ? FComm->WriteText(S) : false; }
bool TVaDispatcher::WriteChar(char Ch) { return FComm ? FComm->WriteChar(Ch) : false; }

void TVaDispatcher::DataEvent(PVaData Data, int Count) {
    if (FActive && FClient) FClient->DataChanged(Data, Count);
}

void TVaDispatcher::LineEvent(uint32_t EvtMask) {
    if (FActive && FClient) FClient->LineChanged(EvtMask);
}

// ---------------------------------------------------------------------------
// TVaCustomComm: construction

TVaCustomComm::TVaCustomComm(TComponent* AOwner)
    : TVaComponent(AOwner), FWriteLock(std::make_shared<TVaCriticalSection>()) {
    FBuffers.OnChange = [this](TObject* Sender) { BuffersChanged(Sender); };
    FEventChars.OnChange = [this](TObject* Sender) { EventCharsChanged(Sender); };
    FFlowControl.OnChange = [this](TObject* Sender) { FlowControlChanged(Sender); };
}

TVaCustomComm::~TVaCustomComm() {
    // Removal notices first, while the whole object still exists: clients
    // detach themselves through it.
    Destroying();
    try {
        Close();
    } catch (...) {
        // Close raises only from OnClose, which is not called now.
    }
    DestroyClients();
}

void TVaCustomComm::Loaded() {
    TVaComponent::Loaded();
    if (FAutoOpen && !InState(csDesigning)) Open();
}

// ---------------------------------------------------------------------------
// Open and close

void TVaCustomComm::CheckOpen() {
    if (Active()) throw EVaCommError(sVa::PortOpen);
}

std::string TVaCustomComm::DevicePath() const { return FDevice ? FDevice->RealPath() : std::string(); }

bool TVaCustomComm::HungUp() const { return FDevice && FDevice->HungUp(); }

std::string TVaCustomComm::AppliedLineSettings() const {
    std::string text;
    return FDevice && FDevice->LineDescription(text) ? text : std::string();
}

std::string TVaCustomComm::GetDeviceName() const { return Format(FDeviceName, {static_cast<long long>(FPortNum)}); }

void TVaCustomComm::Error(const std::string& Msg) { throw EVaCommError(device::PlatformErrorMessage(Msg)); }

void TVaCustomComm::Watch(bool Ok, const std::string& Msg) {
    if (!Ok) Error(Msg);
}

void TVaCustomComm::Open() {
    CheckOpen();
    CreateHandle();
    try {
        SetDCB();
        UpdateBuffers();
        UpdateTimeouts();
        UpdateEventMask();
        CreateThreads();
    } catch (...) {
        // Threads that did start must not outlive the device.
        DestroyThreads();
        DestroyHandle();
        throw;
    }
    DoOpen();
}

void TVaCustomComm::CreateHandle() {
    const std::string name = GetDeviceName();
    // A name made from the port number ("COM%d") names no port for port 0
    // (or below): opening it fails before any lookup of the name, so that a
    // file that happens to be called COM0 is never opened. (ENOENT is 2, the
    // code of a missing device on both platforms: ERROR_FILE_NOT_FOUND.)
    if (FPortNum <= 0 && name != Format(FDeviceName, {}))
        throw EVaCommError(Format(sVa::OpenError, {name, static_cast<long long>(ENOENT), device::PlatformErrorText(ENOENT)}));
    FDevice = SerialDevice::Open(name);
    if (!FDevice) {
        const int code = device::LastPlatformError();
        throw EVaCommError(Format(sVa::OpenError, {name, static_cast<long long>(code), device::PlatformErrorText(code)}));
    }
}

void TVaCustomComm::DestroyHandle() {
    if (!FDevice) return;
    FDevice->Close();
    FDevice.reset();
}

TDCB TVaCustomComm::BuildDCB() const {
    TDCB dcb;
    dcb.BaudRate = FBaudrate == brUser ? static_cast<uint32_t>(std::max<int32_t>(FUserBaudrate, 0))
                                       : BaudrateValue(FBaudrate);
    dcb.ByteSize = static_cast<uint8_t>(FDatabits + 4);
    dcb.Parity = FParity;
    dcb.StopBits = FStopbits;
    uint32_t flags = dcb_Binary;
    if (FParityCheck) flags |= dcb_ParityCheck;
    const TVaFlowControl& fc = FFlowControl;
    if (fc.OutCtsFlow()) flags |= dcb_OutxCtsFlow;
    if (fc.OutDsrFlow()) flags |= dcb_OutxDsrFlow;
    static constexpr uint32_t DtrBits[] = {0, dcb_DtrControlEnable, dcb_DtrControlHandshake};
    static constexpr uint32_t RtsBits[] = {0, dcb_RtsControlEnable, dcb_RtsControlHandshake, dcb_RtsControlToggle};
    flags |= DtrBits[std::min<int>(fc.ControlDtr(), dtrHandshake)];
    if (fc.DsrSensitivity()) flags |= dcb_DsrSensitivity;
    if (fc.TxContinueOnXoff()) flags |= dcb_TXContinueOnXoff;
    if (fc.XonXoffOut()) flags |= dcb_OutX;
    if (fc.XonXoffIn()) flags |= dcb_InX;
    if (FOptions.Contains(coErrorChar)) flags |= dcb_ErrorChar;
    if (FOptions.Contains(coNullStrip)) flags |= dcb_NullStrip;
    flags |= RtsBits[std::min<int>(fc.ControlRts(), rtsToggle)];
    dcb.Flags = flags;
    const auto limit = static_cast<uint16_t>(std::min<int32_t>(FBuffers.ReadSize() / 4, 1024));
    dcb.XonLim = limit;
    dcb.XoffLim = limit;
    dcb.XonChar = FEventChars.XonChar();
    dcb.XoffChar = FEventChars.XoffChar();
    dcb.ErrorChar = FEventChars.ErrorChar();
    dcb.EofChar = FEventChars.EofChar();
    dcb.EvtChar = FEventChars.EventChar();
    return dcb;
}

void TVaCustomComm::SetDCB() {
    if (!Active()) return;
    // Without UpdateDCB the device keeps its rate and framing, but the line
    // is still made raw: a terminal's default settings would echo, hold
    // bytes back until a line end, act on ^C and turn LF into CR LF.
    if (!FUpdateDCB) {
        Watch(FDevice->SetRaw(), sVa::WriteDcbError);
        return;
    }
    Watch(FDevice->SetState(BuildDCB()), sVa::WriteDcbError);
}

void TVaCustomComm::UpdateBuffers() {
    if (!Active()) return;
    Watch(FDevice->SetupQueues(FBuffers.ReadSize(), FBuffers.WriteSize()), sVa::BuffersError);
}

void TVaCustomComm::UpdateTimeouts() {
    if (!Active()) return;
    Watch(FDevice->SetTimeoutsImmediate(), sVa::TimeoutsError);
}

void TVaCustomComm::UpdateEventMask() {
    static constexpr uint32_t Bits[] = {EV_BREAK,  EV_CTS,   EV_DSR,  EV_ERR,      EV_RING,   EV_RLSD,  EV_RXCHAR,
                                        EV_TXEMPTY, EV_RXFLAG, EV_PERR, EV_RX80FULL, EV_EVENT1, EV_EVENT2};
    uint32_t mask = 0;
    for (unsigned i = 0; i < std::size(Bits); ++i)
        if (FMonitorEvents.Contains(static_cast<TVaCommEvent>(i))) mask |= Bits[i];
    // Without direct writes the write thread reports transmit-empty itself.
    if (!FDirectWrite) mask &= ~EV_TXEMPTY;
    FEventMask = mask;
    if (Active()) Watch(FDevice->SetEventMask(mask), sVa::EventMaskError);
}

void TVaCustomComm::CreateThreads() {
    if (FEventMask != 0) {
        FEventThread = TThread::Create<TVaCommEventThread>(this, FDevice, FEventMask);
        FEventThread->SetPriority(FEventPriority);
        FEventThread->Start();
    }
    if (!FDirectWrite) {
        FWriteThread = TThread::Create<TVaCommWriteThread>(this, FDevice, FWriteLock, FBuffers.WriteSize());
        FWriteThread->SetPriority(FWritePriority);
        FWriteThread->Start();
    }
}

void TVaCustomComm::DestroyThreads() {
    if (FEventThread) {
        FEventThread->StopThread();
        FEventThread.reset();
    }
    if (FWriteThread) {
        FWriteThread->StopThread();
        FWriteThread.reset();
    }
}

void TVaCustomComm::DoOpen() {
    if (!OnOpen) return;
    try {
        OnOpen(this);
    } catch (...) {
        ReportCurrentException();
    }
}

void TVaCustomComm::DoClose() {
    if (OnClose && !InState(csDestroying)) OnClose(this);
}

void TVaCustomComm::Close() {
    if (!Active()) return;
    {
        std::lock_guard<TVaCriticalSection> global(FGlobalLock);
        DestroyThreads();
    }
    DestroyHandle();
    DoClose();
}

// ---------------------------------------------------------------------------
// Transfers and status

int TVaCustomComm::WriteBuf(const void* Data, int Count) {
    if (!Active() || Count <= 0) return 0;
    // Reported by OnHangUp; the bytes go nowhere. (A hang-up that nobody
    // has noticed yet is found by the write that fails on it.)
    if (FDevice->HungUpSeen()) return Count;
    if (FDirectWrite) {
        std::lock_guard<TVaCriticalSection> lock(*FWriteLock);
        return DirectWriteBuf(Data, Count);
    }
    if (!FWriteThread) return 0;
    const bool txEmptyWanted = static_cast<bool>(OnTxEmpty) || !FClients.empty();
    if (!FWriteThread->WriteData(Data, Count, txEmptyWanted)) throw EVaCommError(sVa::OutputBufferFull);
    return Count;
}

int TVaCustomComm::DirectWriteBuf(const void* Data, int Count) {
    // Writes what the device takes, waiting for room at most ReadTimeout
    // milliseconds in all; returns the count the device accepted.
    const auto* bytes = static_cast<const uint8_t*>(Data);
    TVaTimeEvent timer;
    InitTimer(timer, FBuffers.ReadTimeout());
    int done = 0;
    while (done < Count) {
        const int r = FDevice->Write(bytes + done, Count - done);
        if (r < 0 && FDevice->HungUp()) {
            // Without an event thread nobody else watches the device.
            if (!FEventThread && FDevice->ClaimHangUpReport()) HandleHangUp(FDevice.get());
            return Count;
        }
        if (r < 0) Error(sVa::WriteError);
        done += r;
        if (done == Count || TimerExpired(timer)) break;
        if (r == 0) {
            const int64_t left = static_cast<int64_t>(timer.Timeout) - static_cast<uint32_t>(GetTickCount() - timer.StartTick);
            short revents = 0;
            if (FDevice->Wait(DeviceWritable, {}, static_cast<int>(std::clamp<int64_t>(left + 1, 0, 1 << 30)), revents) < 0) break;
        }
    }
    // Transmit-empty is watched by the event thread once bytes went out.
    if (done > 0 && (FEventMask & EV_TXEMPTY) && FEventThread) FEventThread->Kick();
    return done;
}

bool TVaCustomComm::WriteText(const std::string& S) {
    return WriteBuf(S.data(), static_cast<int>(S.size())) == static_cast<int>(S.size());
}

bool TVaCustomComm::WriteChar(char Ch) { return WriteBuf(&Ch, 1) == 1; }

int TVaCustomComm::ReadBuf(void* Data, int Count) {
    if (!Active() || Count <= 0) return 0;
    std::lock_guard<TVaCriticalSection> global(FGlobalLock);
    const int r = FDevice->Read(Data, Count);
    if (r < 0 && FDevice->HungUp()) return 0;
    if (r < 0) Error(sVa::ReadError);
    return r;
}

std::string TVaCustomComm::ReadText() {
    const int n = ReadBufUsed();
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    s.resize(static_cast<size_t>(ReadBuf(s.data(), n)));
    return s;
}

bool TVaCustomComm::ReadChar(char& Ch) { return ReadBuf(&Ch, 1) == 1; }

TVaCommStatus TVaCustomComm::GetCommStatus() {
    std::lock_guard<TVaCriticalSection> global(FGlobalLock);
    TVaCommStatus status;
    // A hung-up device has nothing waiting and nothing to send.
    if (Active() && !FDevice->ClearError(status) && !FDevice->HungUp()) Error(sVa::StatisticsError);
    return status;
}

int TVaCustomComm::ReadBufUsed() {
    if (!Active()) return 0;
    return static_cast<int>(GetCommStatus().Stat.cbInQue);
}

int TVaCustomComm::ReadBufFree() {
    if (!Active()) return 0;
    // On Linux the input queue is the kernel's and has its own fixed size
    // (4 KiB on a serial port, more on a pseudo-terminal); ReadSize sets
    // nothing there. It is the room the component's users plan with (and
    // the 80%-full mark), so more bytes than ReadSize can be waiting: the
    // free room is then 0, never less.
    return std::max(0, FBuffers.ReadSize() - static_cast<int>(GetCommStatus().Stat.cbInQue));
}

int TVaCustomComm::WriteBufUsed() {
    if (!Active()) return 0;
    if (FDirectWrite) return static_cast<int>(GetCommStatus().Stat.cbOutQue);
    return FWriteThread ? FWriteThread->BufferCount() : 0;
}

int TVaCustomComm::WriteBufFree() {
    if (!Active()) return 0;
    if (FDirectWrite) return FBuffers.WriteSize() - static_cast<int>(GetCommStatus().Stat.cbOutQue);
    // The buffer's own size: WriteSize may have been changed since Open.
    return FWriteThread ? FWriteThread->BufferCapacity() - FWriteThread->BufferCount() : 0;
}

bool TVaCustomComm::ClearLineErrors() {
    const TVaCommStatus status = GetCommStatus();
    if (status.Errors == 0) return false;
    if (OnError) {
        try {
            OnError(this, status.Errors);
        } catch (...) {
            ReportCurrentException();
        }
    }
    return true;
}

void TVaCustomComm::PurgeBuffers(int Flags) {
    if (!Active()) return;
    std::lock_guard<TVaCriticalSection> global(FGlobalLock);
    if (Flags != (PURGE_RXABORT | PURGE_RXCLEAR) && FWriteThread) FWriteThread->PurgeWrite();
    if (!FDevice->Purge(static_cast<uint32_t>(Flags)) && !FDevice->HungUp()) Error(sVa::PurgeError);
}

void TVaCustomComm::PurgeRead() { PurgeBuffers(PURGE_RXABORT | PURGE_RXCLEAR); }
void TVaCustomComm::PurgeWrite() { PurgeBuffers(PURGE_TXABORT | PURGE_TXCLEAR); }
void TVaCustomComm::PurgeReadWrite() { PurgeBuffers(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR); }

void TVaCustomComm::ToggleCommState(uint32_t Func) {
    if (!Active()) return;
    Watch(FDevice->Escape(Func), sVa::CommFunctionError);
}

void TVaCustomComm::SetDTR(bool State) {
    if (FFlowControl.ControlDtr() == dtrHandshake) throw EVaCommError(sVa::DtrHandshake);
    CheckModemLines();
    ToggleCommState(State ? SETDTR : CLRDTR);
}

void TVaCustomComm::SetRTS(bool State) {
    if (FFlowControl.ControlRts() == rtsHandshake || FFlowControl.ControlRts() == rtsToggle)
        throw EVaCommError(sVa::RtsHandshake);
    CheckModemLines();
    ToggleCommState(State ? SETRTS : CLRRTS);
}

bool TVaCustomComm::HasModemLines() {
    // A device whose modem lines can be read has lines to set; a
    // pseudo-terminal answers the query with ENOTTY.
    int bits = 0;
    return Active() && FDevice->GetModemLines(bits);
}

void TVaCustomComm::CheckModemLines() {
    // A device that has gone away fails the query too; it is reported as the
    // hang-up it is, not as a port without lines.
    if (!Active() || HasModemLines() || FDevice->HungUp()) return;
    throw EVaCommError(Format(sVa::NoModemLines, {DevicePath()}));
}

void TVaCustomComm::SetBreak(bool State) { ToggleCommState(State ? SETBREAK : CLRBREAK); }
void TVaCustomComm::SetXon(bool State) { ToggleCommState(State ? SETXON : SETXOFF); }
void TVaCustomComm::ResetDev() { ToggleCommState(RESETDEV); }

bool TVaCustomComm::GetComStat(int Index) {
    const TVaCommStatus status = GetCommStatus();
    if (Index < 1 || Index > 8) return false;
    return (status.Stat.Flags >> (Index - 1)) & 1u;
}

bool TVaCustomComm::GetModemStatus(int Index) {
    uint32_t lines = 0;
    if (Active()) Watch(FDevice->ModemStatus(lines), sVa::ModemStateError);
    switch (Index) {
        case 1: return lines & MS_CTS_ON;
        case 2: return lines & MS_DSR_ON;
        case 3: return lines & MS_RING_ON;
        case 4: return lines & MS_RLSD_ON;
        default: return false;
    }
}

void TVaCustomComm::GetProperties() {
    FCommProp = TCommProp{};
    if (!Active()) throw EVaCommError(sVa::PortClosed);
    Watch(FDevice->Properties(FCommProp), sVa::PropertiesError);
}

// ---------------------------------------------------------------------------
// Properties

template <class T>
void TVaCustomComm::ChangeSetting(T& Field, T Value) {
    if (Field == Value) return;
    const T old = Field;
    Field = Value;
    try {
        SetDCB();
    } catch (...) {
        // The device refused: the property keeps the value the device runs with.
        Field = old;
        throw;
    }
}

void TVaCustomComm::SetBaudrate(TVaBaudrate Value) {
    if (FBaudrate == Value) return;
    const int32_t oldUser = FUserBaudrate;
    if (Value != brUser) FUserBaudrate = 0;
    try {
        ChangeSetting(FBaudrate, Value);
    } catch (...) {
        FUserBaudrate = oldUser;
        throw;
    }
}

void TVaCustomComm::SetUserBaudrate(int32_t Value) {
    if (FUserBaudrate == Value) return;
    const TVaBaudrate oldRate = FBaudrate;
    FBaudrate = brUser;
    try {
        ChangeSetting(FUserBaudrate, Value);
    } catch (...) {
        FBaudrate = oldRate;
        throw;
    }
}

void TVaCustomComm::SetParity(TVaParity Value) { ChangeSetting(FParity, Value); }
void TVaCustomComm::SetParityCheck(bool Value) { ChangeSetting(FParityCheck, Value); }
void TVaCustomComm::SetDatabits(TVaDatabits Value) { ChangeSetting(FDatabits, Value); }
void TVaCustomComm::SetStopbits(TVaStopbits Value) { ChangeSetting(FStopbits, Value); }
void TVaCustomComm::SetOptions(TVaCommOptions Value) { ChangeSetting(FOptions, Value); }

void TVaCustomComm::SetPortNum(TVaPortInt Value) {
    CheckOpen();
    FPortNum = Value;
}

void TVaCustomComm::SetDeviceName(const std::string& Value) {
    CheckOpen();
    FDeviceName = Value;
}

void TVaCustomComm::SetMonitorEvents(TVaCommEvents Value) {
    CheckOpen();
    FMonitorEvents = Value;
}

void TVaCustomComm::SetDirectWrite(bool Value) {
    CheckOpen();
    FDirectWrite = Value;
}

void TVaCustomComm::SetUpdateDCB(bool Value) {
    CheckOpen();
    FUpdateDCB = Value;
}

void TVaCustomComm::SetBuffers(const TVaBuffers& Value) {
    CheckOpen();
    FBuffers.Assign(Value);
}

void TVaCustomComm::SetEventPriority(TThreadPriority Value) {
    if (FEventPriority == Value) return;
    FEventPriority = Value;
    if (FEventThread) FEventThread->SetPriority(Value);
}

void TVaCustomComm::SetWritePriority(TThreadPriority Value) {
    if (FWritePriority == Value) return;
    FWritePriority = Value;
    if (FWriteThread) FWriteThread->SetPriority(Value);
}

void TVaCustomComm::BuffersChanged(TObject* /*Sender*/) {
    CheckOpen();
    UpdateBuffers();
    SetDCB();
}

namespace {

// Puts a group back to the values the device runs with, without reporting
// the change (which would only write those values again).
template <class Group>
void Restore(Group& Target, const Group& Applied) {
    TNotifyEvent handler = std::move(Target.OnChange);
    Target.OnChange = nullptr;
    Target.Assign(Applied);
    Target.OnChange = std::move(handler);
}

}  // namespace

void TVaCustomComm::EventCharsChanged(TObject* /*Sender*/) {
    try {
        SetDCB();
    } catch (...) {
        Restore(FEventChars, FAppliedEventChars);
        throw;
    }
    FAppliedEventChars.Assign(FEventChars);
}

void TVaCustomComm::FlowControlChanged(TObject* /*Sender*/) {
    try {
        SetDCB();
    } catch (...) {
        Restore(FFlowControl, FAppliedFlowControl);
        throw;
    }
    FAppliedFlowControl.Assign(FFlowControl);
}

// ---------------------------------------------------------------------------
// Received data and line events (on the main thread)

void TVaCustomComm::HandleDataEvent() {
    int n = ReadBufUsed();
    if (n <= 0) return;
    if (!FClients.empty()) {
        std::vector<uint8_t> block(static_cast<size_t>(std::min(n, VaDataMax)));
        while (n > 0) {
            const int got = ReadBuf(block.data(), std::min(n, VaDataMax));
            if (got <= 0) break;
            WriteBuffer(block.data(), got);
            n -= got;
        }
    } else if (OnRxChar) {
        OnRxChar(this, n);
    }
}

void TVaCustomComm::HandleLineEvent(uint32_t EvtMask) {
    if (EvtMask & EV_ERR) ClearLineErrors();
    if (!FClients.empty()) WriteEvents(EvtMask);
    const std::pair<uint32_t, TNotifyEvent TVaCustomComm::*> handlers[] = {
        {EV_RXFLAG, &TVaCustomComm::OnRxFlag},   {EV_CTS, &TVaCustomComm::OnCts},
        {EV_DSR, &TVaCustomComm::OnDsr},         {EV_RING, &TVaCustomComm::OnRing},
        {EV_RLSD, &TVaCustomComm::OnRlsd},       {EV_TXEMPTY, &TVaCustomComm::OnTxEmpty},
        {EV_BREAK, &TVaCustomComm::OnBreak},     {EV_PERR, &TVaCustomComm::OnPErr},
        {EV_RX80FULL, &TVaCustomComm::OnRx80Full}, {EV_EVENT1, &TVaCustomComm::OnEvent1},
        {EV_EVENT2, &TVaCustomComm::OnEvent2},
    };
    for (const auto& [bit, handler] : handlers)
        if ((EvtMask & bit) && this->*handler) (this->*handler)(this);
}

void TVaCustomComm::HandleHangUp(const SerialDevice* Device) {
    // A report from a device this port no longer has open is old news.
    if (!FDevice || FDevice.get() != Device || !OnHangUp) return;
    const std::string message = Format(sVa::HangUp, {FDevice->RealPath()});
    try {
        OnHangUp(this, message);
    } catch (...) {
        ReportCurrentException();
    }
}

// ---------------------------------------------------------------------------
// Clients

void TVaCustomComm::InsertClient(TVaDispatcher* Dispatcher) {
    if (!Dispatcher) return;
    if (Dispatcher->FComm && Dispatcher->FComm != this) Dispatcher->FComm->RemoveClient(Dispatcher);
    Dispatcher->FComm = this;
    if (std::find(FClients.begin(), FClients.end(), Dispatcher) == FClients.end()) FClients.push_back(Dispatcher);
}

void TVaCustomComm::RemoveClient(TVaDispatcher* Dispatcher) {
    const auto it = std::find(FClients.begin(), FClients.end(), Dispatcher);
    if (it == FClients.end()) return;
    Dispatcher->FComm = nullptr;
    FClients.erase(it);
}

void TVaCustomComm::DestroyClients() {
    while (!FClients.empty()) RemoveClient(FClients.back());
}

void TVaCustomComm::WriteEvents(uint32_t EvtMask) {
    if (!FControlsEnabled) return;
    const std::vector<TVaDispatcher*> clients = FClients;
    for (TVaDispatcher* d : clients) d->LineEvent(EvtMask);
}

void TVaCustomComm::WriteBuffer(PVaData Data, int Count) {
    if (FControlsEnabled) {
        const std::vector<TVaDispatcher*> clients = FClients;
        for (TVaDispatcher* d : clients) d->DataEvent(Data, Count);
    }
    if (OnRxBuf) OnRxBuf(this, Data, Count);
}

// ---------------------------------------------------------------------------
// TVaCommComponent

TVaCommComponent::TVaCommComponent(TComponent* AOwner)
    : TVaComponent(AOwner), FDispatcher(std::make_unique<TVaDispatcher>(this)) {}

TVaCommComponent::~TVaCommComponent() {
    Destroying();
    SetComm(nullptr);
}

void TVaCommComponent::SetComm(TVaCustomComm* Value) {
    if (FComm) {
        FComm->RemoveClient(FDispatcher.get());
        FComm->RemoveFreeNotification(this);
    }
    FComm = Value;
    if (Value) {
        Value->InsertClient(FDispatcher.get());
        // Also a port with another owner tells us when it goes.
        Value->FreeNotification(this);
    }
}

void TVaCommComponent::DataChanged(PVaData /*Data*/, int /*Count*/) {}
void TVaCommComponent::LineChanged(uint32_t /*EvtMask*/) {}

void TVaCommComponent::Notification(TComponent* AComponent, TOperation Operation) {
    TVaComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent != nullptr && AComponent == FComm) SetComm(nullptr);
}

}  // namespace pelk
