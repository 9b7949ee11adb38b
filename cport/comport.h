// SPDX-License-Identifier: MIT
// TComPort: a serial-port component for Linux (termios).
//
// One object per serial line. It carries every line setting as plain data,
// opens the device exclusively, applies the settings, moves bytes, and (while
// open, when Events is not empty) runs a background event thread that waits
// for line events and hands them to the thread that owns the port, where the
// published handlers (OnRxChar, OnError, ...) run.
//
// Threads: the thread that opens a port owns it until it is closed: setters,
// Open and Close run there, and so do the handlers (smThreadSync,
// smWindowSync), handed over through that thread's own queue. Transfers,
// queries and AbortPendingIO may run on any thread, also while the owning
// thread closes the port (they then complete, or fail with their own error
// code and EBADF; Close waits until none of them uses the device). Each
// owning thread with an event loop has it call CheckSynchronize(): when the
// thread's wait descriptor is readable, or from its wake hook (see "Hand-over
// to the owning thread" below).
// A handler may open, close or even delete its own port: the sequence it
// interrupts ends there. Events reach the handlers only once Open is done.
//
// Errors: every failed system call raises EComPort with a numbered message
// and the errno of the failing call; Assign between unrelated settings
// classes raises EConvertError, and the settings stores (comport_store.h)
// raise EIniFileException and ERegistryException. Nothing is retried or
// swallowed.
//
// Linux mapping of the settings, and what the line does with those that have
// no Linux counterpart, is documented at each setting below.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

namespace cport {

// ---------------------------------------------------------------------------
// Enumerations (one byte each, numbered from 0 in the order listed)

enum TBaudRate : uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : uint8_t { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };
enum TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };
enum TLineSignal : uint8_t { lsCTS, lsDSR, lsRing, lsRLSD };
enum TComError : uint8_t { leFrame, leRxParity, leOverrun, leBreak, leIOError, leMode, leRxOverflow, leTxFull };
enum TStoredGroup : uint8_t { sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgMisc, sgRs485 };

// A set of enumeration values held in the bits of Storage (element n at bit n).
template <typename Enum, typename Storage>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<Enum> Items)
    {
        for (Enum E : Items)
            Bits_ |= Bit(E);
    }
    static constexpr TSet FromBits(Storage Bits)
    {
        TSet S;
        S.Bits_ = Bits;
        return S;
    }
    constexpr Storage Bits() const { return Bits_; }
    constexpr bool Contains(Enum E) const { return (Bits_ & Bit(E)) != 0; }
    constexpr bool Empty() const { return Bits_ == 0; }
    constexpr TSet& Include(Enum E)
    {
        Bits_ |= Bit(E);
        return *this;
    }
    constexpr TSet& Exclude(Enum E)
    {
        Bits_ &= static_cast<Storage>(~Bit(E));
        return *this;
    }
    constexpr TSet operator|(TSet O) const { return FromBits(Bits_ | O.Bits_); }
    constexpr TSet operator&(TSet O) const { return FromBits(Bits_ & O.Bits_); }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr Storage Bit(Enum E) { return static_cast<Storage>(1u << static_cast<unsigned>(E)); }
    Storage Bits_ = 0;
};

using TComEvents = TSet<TComEvent, uint16_t>;  // all ten events: 0x3FF
using TLineSignals = TSet<TLineSignal, uint8_t>;
using TComErrors = TSet<TComError, uint8_t>;
using TStoredGroups = TSet<TStoredGroup, uint8_t>;

inline constexpr TComEvents AllComEvents = TComEvents::FromBits(0x3FF);

// Event flags of the classic serial event mask, kept for callers that store
// or exchange masks: evRxChar 0x0001, evRxFlag 0x0002, evTxEmpty 0x0004,
// evCTS 0x0008, evDSR 0x0010, evRLSD 0x0020, evBreak 0x0040, evError 0x0080,
// evRing 0x0100, evRx80Full 0x0400. Unknown mask bits are ignored.
uint32_t EventsToMask(TComEvents Events);
TComEvents MaskToEvents(uint32_t Mask);

// ---------------------------------------------------------------------------
// Errors

// Error codes of EComPort. Codes no operation raises keep their number.
enum TComPortErrorCode : int32_t {
    CError_OpenFailed = 1,
    CError_WriteFailed,
    CError_ReadFailed,
    CError_InvalidAsync,
    CError_PurgeFailed,
    CError_AsyncCheck,
    CError_SetStateFailed,
    CError_TimeoutsFailed,
    CError_SetupComFailed,
    CError_ClearComFailed,
    CError_ModemStatFailed,
    CError_EscapeComFailed,
    CError_TransmitFailed,
    CError_ConnChangeProp,
    CError_EnumPortsFailed,
    CError_StoreFailed,
    CError_LoadFailed,
    CError_RegFailed,
    CError_LedStateFailed,
    CError_ThreadCreated,
    CError_WaitFailed,
    CError_HasLink,
    CError_RegError,
    CError_Rs485Failed
};

// The error of the serial component. With a system error number the message
// is the code's text, a blank and "(win error code: N)" with N the errno of
// the failing call; without one it is the text alone and SystemErrorCode -1.
class EComPort : public std::runtime_error {
public:
    EComPort(int32_t Code, int32_t SystemError);  // with a system error number
    explicit EComPort(int32_t Code);              // without one
    // With a system error number and, on a line below the message, the
    // reason in words (a network port: "Connection refused by HOST:PORT").
    EComPort(int32_t Code, int32_t SystemError, const std::string& Reason);
    int32_t ErrorCode() const noexcept { return Code_; }
    int32_t SystemErrorCode() const noexcept { return System_; }
    static std::string CodeText(int32_t Code);  // "Unable to open com port", ...

private:
    int32_t Code_;
    int32_t System_;
};

// The toolkit-style error raised by Assign between unrelated settings
// classes: "Cannot assign a <given class> to a <own class>".
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Application services: the default error display and the hand-over queue.

// The application's default error display. Errors that cannot propagate to a
// caller (an error in a handler run from a posted event, an Open at the end
// of loading) are given to it. The default prints the message to stderr; a
// GUI installs a message box, a test a recorder.
using TErrorDisplay = std::function<void(std::exception_ptr)>;
void SetApplicationErrorDisplay(TErrorDisplay Display);
void ShowApplicationError(std::exception_ptr Error);

// Hand-over to the owning thread. Every thread that owns ports (opened
// them) has a queue of its own: event threads queue work for the thread that
// owns their port, and that thread runs it in CheckSynchronize(). When work
// is queued the owner's wake hook, if it set one, is called (from the
// queuing thread) so that an event loop can schedule a CheckSynchronize()
// call; a loop that can watch a descriptor uses the wait descriptor below
// instead (the window watches it with a QSocketNotifier). The queue knows
// nothing of any toolkit. Close serves only its own port's hand-overs while it waits.
using TWakeHook = std::function<void()>;
void SetMainThreadWakeHook(TWakeHook Hook);  // the hook of the calling thread's queue
bool CheckSynchronize();                     // runs the calling thread's queued hand-overs; true if any ran

// Instead of a wake hook, a loop that can watch a descriptor (poll, epoll, a
// QSocketNotifier) may wait on this one: it is readable whenever
// CheckSynchronize() has work, hand-overs queued or input waiting on a port
// the calling thread owns. Ports opened by the thread from then on with
// SyncMethod smThreadSync and evRxChar in Events have their device watched
// there: CheckSynchronize() reads the input on the owning thread and calls
// OnRxChar at once, without waking the event thread first (one wake of the
// owning thread per arrival instead of two). Input that comes with a line
// error, the event character or the 80 % mark, and input that arrives while
// one of the port's handlers runs, is reported by the event thread as ever,
// in the fixed order. Made on the first call, the same for every later call
// on this thread, and kept (never close it) until the thread ends. A thread
// that asks for it must have its loop call CheckSynchronize() whenever it is
// readable: its ports' input is read only there.
int MainThreadWaitDescriptor();

// The modem-line watch of an open port (evCTS, evDSR, evRLSD, evRing on a
// device with modem lines) waits in a helper thread that Close interrupts
// with a signal: by default SIGRTMIN+4. At the first watch the signal is
// checked to be unused (default disposition) and given a handler of the
// component's that does nothing; a signal the application handles or
// ignores is never taken over, and modem-line changes are then not
// reported. The application may choose another signal before the first
// watch starts (before the first Open with modem-line events); false when
// it is too late or the number is no signal. Once taken, the signal must be
// left to the component.
bool SetLineWatchSignal(int Signal);

// Port names: a device path ("/dev/ttyUSB0"), or a network port reached over
// TCP, "socket://HOST:PORT" (raw data) or "rfc2217://HOST:PORT" (telnet with
// the COM-PORT-OPTION). HOST is a name, an IPv4 address or an IPv6 address
// in brackets; PORT is 1 to 65535; the scheme's case does not matter.
enum class TPortNameKind { pnDevice, pnNetwork, pnMalformedNetwork };
TPortNameKind PortNameKind(const std::string& Port);

// ---------------------------------------------------------------------------
// Component base: a named object with an owner and a loading state.

class TComponent {
public:
    explicit TComponent(TComponent* Owner = nullptr) : Owner_(Owner) {}
    virtual ~TComponent() = default;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    const std::string& Name() const { return Name_; }
    void SetName(std::string Name) { Name_ = std::move(Name); }
    TComponent* Owner() const { return Owner_; }
    virtual const char* ClassName() const { return "TComponent"; }

    // Loading: while a component is built from a stored description its
    // setters only store. EndLoading() runs Loaded().
    bool Loading() const { return Loading_; }
    void BeginLoading() { Loading_ = true; }
    void EndLoading()
    {
        Loading_ = false;
        Loaded();
    }

protected:
    virtual void Loaded() {}

private:
    std::string Name_;
    TComponent* Owner_;
    bool Loading_ = false;
};

class TCustomComPort;

// Base of the five settings objects: Assign copies between instances of the
// same class and raises EConvertError otherwise.
class TPersistent {
public:
    virtual ~TPersistent() = default;
    virtual const char* ClassName() const = 0;
};

// ---------------------------------------------------------------------------
// Settings objects. Each holds a back-reference to its owning port (none for
// a free-standing instance, which only stores). A change of a field on an
// owned object reaches an open port at once through the group's apply call.

class TComParity : public TPersistent {
public:
    explicit TComParity(TCustomComPort* ComPort = nullptr) : Port_(ComPort) {}
    const char* ClassName() const override { return "TComParity"; }
    void Assign(const TPersistent* Source);  // copies all fields, then applies once

    TParityBits Bits() const { return Bits_; }
    bool Check() const { return Check_; }      // INPCK: test received parity
    bool Replace() const { return Replace_; }  // with Check: bad bytes become ReplaceChar
    char ReplaceChar() const { return ReplaceChar_; }
    void SetBits(TParityBits Value);
    void SetCheck(bool Value);
    void SetReplace(bool Value);
    void SetReplaceChar(char Value);
    TCustomComPort* ComPort() const { return Port_; }

private:
    friend class TCustomComPort;
    TCustomComPort* Port_;
    TParityBits Bits_ = prNone;
    bool Check_ = false;
    bool Replace_ = false;
    char ReplaceChar_ = 0;
};

class TComFlowControl : public TPersistent {
public:
    explicit TComFlowControl(TCustomComPort* ComPort = nullptr) : Port_(ComPort) {}
    const char* ClassName() const override { return "TComFlowControl"; }
    void Assign(const TPersistent* Source);

    // The composite preset, computed from ControlRTS, OutCTSFlow, XonXoffIn
    // and XonXoffOut. Writing fcCustom changes no field; every write
    // re-applies the line settings of an open port.
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl Value);

    bool OutCTSFlow() const { return OutCts_; }            // CRTSCTS
    bool OutDSRFlow() const { return OutDsr_; }            // stored; Linux has no DSR output flow
    TDTRFlowControl ControlDTR() const { return Dtr_; }    // held off/on; handshake holds it on
    TRTSFlowControl ControlRTS() const { return Rts_; }    // handshake: CRTSCTS; toggle: held off
    bool XonXoffOut() const { return XonOut_; }            // IXON
    bool XonXoffIn() const { return XonIn_; }              // IXOFF
    bool DSRSensitivity() const { return DsrSens_; }       // stored only
    bool TxContinueOnXoff() const { return TxContinue_; }  // stored only
    char XonChar() const { return XonChar_; }              // VSTART
    char XoffChar() const { return XoffChar_; }            // VSTOP
    void SetOutCTSFlow(bool Value);
    void SetOutDSRFlow(bool Value);
    void SetControlDTR(TDTRFlowControl Value);
    void SetControlRTS(TRTSFlowControl Value);
    void SetXonXoffOut(bool Value);
    void SetXonXoffIn(bool Value);
    void SetDSRSensitivity(bool Value);
    void SetTxContinueOnXoff(bool Value);
    void SetXonChar(char Value);
    void SetXoffChar(char Value);
    TCustomComPort* ComPort() const { return Port_; }

private:
    friend class TCustomComPort;
    TCustomComPort* Port_;
    bool OutCts_ = false;
    bool OutDsr_ = false;
    TDTRFlowControl Dtr_ = dtrDisable;
    TRTSFlowControl Rts_ = rtsDisable;
    bool XonOut_ = false;
    bool XonIn_ = false;
    bool DsrSens_ = false;
    bool TxContinue_ = false;
    char XonChar_ = 17;
    char XoffChar_ = 19;
};

// Time-outs in milliseconds, with the classic semantics implemented by the
// transfer layer with poll(): ReadInterval -1 with both read totals 0 makes a
// read return at once with what has arrived; a write of n bytes is allowed
// WriteTotalMultiplier * n + WriteTotalConstant ms (0 and 0: no limit).
class TComTimeouts : public TPersistent {
public:
    explicit TComTimeouts(TCustomComPort* ComPort = nullptr) : Port_(ComPort) {}
    const char* ClassName() const override { return "TComTimeouts"; }
    void Assign(const TPersistent* Source);

    int32_t ReadInterval() const { return ReadInterval_; }
    int32_t ReadTotalMultiplier() const { return ReadMultiplier_; }
    int32_t ReadTotalConstant() const { return ReadConstant_; }
    int32_t WriteTotalMultiplier() const { return WriteMultiplier_; }
    int32_t WriteTotalConstant() const { return WriteConstant_; }
    void SetReadInterval(int32_t Value);
    void SetReadTotalMultiplier(int32_t Value);
    void SetReadTotalConstant(int32_t Value);
    void SetWriteTotalMultiplier(int32_t Value);
    void SetWriteTotalConstant(int32_t Value);
    TCustomComPort* ComPort() const { return Port_; }

private:
    friend class TCustomComPort;
    TCustomComPort* Port_;
    int32_t ReadInterval_ = -1;
    int32_t ReadMultiplier_ = 0;
    int32_t ReadConstant_ = 0;
    int32_t WriteMultiplier_ = 100;
    int32_t WriteConstant_ = 1000;
};

// Recommended queue sizes. Linux has fixed driver queues: the sizes are
// stored, InputSize sizes the component's own receive queue and sets the
// 80 % mark of evRx80Full. A positive odd value is stored one less.
class TComBuffer : public TPersistent {
public:
    explicit TComBuffer(TCustomComPort* ComPort = nullptr) : Port_(ComPort) {}
    const char* ClassName() const override { return "TComBuffer"; }
    void Assign(const TPersistent* Source);

    int32_t InputSize() const { return InputSize_; }
    int32_t OutputSize() const { return OutputSize_; }
    void SetInputSize(int32_t Value);
    void SetOutputSize(int32_t Value);
    TCustomComPort* ComPort() const { return Port_; }

private:
    friend class TCustomComPort;
    TCustomComPort* Port_;
    int32_t InputSize_ = 1024;
    int32_t OutputSize_ = 1024;
};

// The kernel's RS-485 mode (TIOCSRS485): the driver switches the line's
// transceiver with RTS around each transmission. RtsOnSend and RtsAfterSend
// are the RTS levels while sending and after it (SER_RS485_RTS_ON_SEND,
// SER_RS485_RTS_AFTER_SEND); the delays are the milliseconds RTS changes
// ahead of the first bit and stays after the last (delay_rts_before_send,
// delay_rts_after_send; drivers may cap them); RxDuringTx keeps the
// receiver on while sending (SER_RS485_RX_DURING_TX). While the mode is on,
// FlowControl.ControlRTS is stored only: the driver drives RTS.
//
// A port that never turns Enabled on sends nothing, so a device keeps the
// mode the open found; once the mode has been set, Close puts back the
// driver's own record. A device without the mode (a pseudo-terminal, a
// network port) refuses it with code 24 and, on a line below the message,
// "the device has no RS-485 mode". A negative delay is stored and refused
// when applied (code 24, EINVAL).
class TComRs485 : public TPersistent {
public:
    explicit TComRs485(TCustomComPort* ComPort = nullptr) : Port_(ComPort) {}
    const char* ClassName() const override { return "TComRs485"; }
    void Assign(const TPersistent* Source);

    bool Enabled() const { return Enabled_; }            // SER_RS485_ENABLED
    bool RtsOnSend() const { return RtsOnSend_; }        // RTS high while sending
    bool RtsAfterSend() const { return RtsAfterSend_; }  // RTS high after sending
    int32_t DelayBeforeSendMs() const { return DelayBefore_; }
    int32_t DelayAfterSendMs() const { return DelayAfter_; }
    bool RxDuringTx() const { return RxDuringTx_; }  // the receiver hears what is sent
    void SetEnabled(bool Value);
    void SetRtsOnSend(bool Value);
    void SetRtsAfterSend(bool Value);
    void SetDelayBeforeSendMs(int32_t Value);
    void SetDelayAfterSendMs(int32_t Value);
    void SetRxDuringTx(bool Value);
    TCustomComPort* ComPort() const { return Port_; }

private:
    friend class TCustomComPort;
    TCustomComPort* Port_;
    bool Enabled_ = false;
    bool RtsOnSend_ = true;
    bool RtsAfterSend_ = false;
    int32_t DelayBefore_ = 0;
    int32_t DelayAfter_ = 0;
    bool RxDuringTx_ = false;
};

// ---------------------------------------------------------------------------
// Handler types. Sender is the port.

using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TRxCharEvent = std::function<void(TComponent* Sender, int32_t Count)>;
using TRxBufEvent = std::function<void(TComponent* Sender, const void* Buffer, int32_t Count)>;
using TComErrorEvent = std::function<void(TComponent* Sender, TComErrors Errors)>;
using TComSignalEvent = std::function<void(TComponent* Sender, bool OnOff)>;

// Scheduling priority of the event thread (nice-style classes).
enum class TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// ---------------------------------------------------------------------------
// Asynchronous transfer requests: issue -> wait -> release.
// A request never issued waits as complete with 0 bytes.

struct TAsyncRequest;  // opaque
using PAsync = TAsyncRequest*;
void NewAsyncRequest(PAsync& Request);
void FreeAsyncRequest(PAsync& Request);

// Stores used by settings persistence (cport/comport_store.h).
class TComIniFile;
class TComRegistryKey;

class TComThread;     // the event thread (cport/com_thread.h)
class TDevice;        // the device under an open port (cport/device.h)
class TNetOpening;    // a network port's open in steps (cport/net_opening.h)
class TReceiveQueue;  // received bytes decoded from the device (cport/receive_queue.h)

// ---------------------------------------------------------------------------
// The port.

class TCustomComPort : public TComponent {
public:
    explicit TCustomComPort(TComponent* Owner = nullptr);
    ~TCustomComPort() override;  // closes the port if open
    const char* ClassName() const override { return "TCustomComPort"; }

    // --- Settings (setting rules: a changed line/timeout/buffer/RS-485
    // setting is applied at once to an open port; Port reopens; SyncMethod
    // is refused while open; Events takes effect at the next Open).
    bool Connected() const { return Connected_; }
    void SetConnected(bool Value);
    TBaudRate BaudRate() const { return BaudRate_; }
    void SetBaudRate(TBaudRate Value);
    int32_t CustomBaudRate() const { return CustomBaudRate_; }
    void SetCustomBaudRate(int32_t Value);
    // "/dev/..." or any absolute path is used as it is; "COMn" names the n-th
    // on-board port /dev/ttyS(n-1); any other name is looked up under /dev.
    // "socket://HOST:PORT" is a raw TCP connection (the server keeps its own
    // line settings) and "rfc2217://HOST:PORT" a telnet connection whose
    // server takes the line settings (RFC 2217), e.g. ser2net.
    const std::string& Port() const { return Port_; }
    void SetPort(const std::string& Value);
    TStopBits StopBits() const { return StopBits_; }
    void SetStopBits(TStopBits Value);
    TDataBits DataBits() const { return DataBits_; }
    void SetDataBits(TDataBits Value);
    bool DiscardNull() const { return DiscardNull_; }  // received NUL bytes are dropped
    void SetDiscardNull(bool Value);
    char EventChar() const { return EventChar_; }  // its arrival raises evRxFlag
    void SetEventChar(char Value);
    TComEvents Events() const { return Events_; }
    void SetEvents(TComEvents Value);
    TSyncMethod SyncMethod() const { return SyncMethod_; }
    void SetSyncMethod(TSyncMethod Value);
    TThreadPriority EventPriority() const { return EventPriority_; }
    void SetEventPriority(TThreadPriority Value) { EventPriority_ = Value; }
    bool RxCharByCount() const { return RxCharByCount_; }
    void SetRxCharByCount(bool Value) { RxCharByCount_ = Value; }
    TStoredGroups StoredGroups() const { return StoredGroups_; }
    void SetStoredGroups(TStoredGroups Value) { StoredGroups_ = Value; }

    TComParity& Parity() { return Parity_; }
    const TComParity& Parity() const { return Parity_; }
    void SetParity(const TPersistent* Value) { Parity_.Assign(Value); }
    TComFlowControl& FlowControl() { return FlowControl_; }
    const TComFlowControl& FlowControl() const { return FlowControl_; }
    void SetFlowControl(const TPersistent* Value) { FlowControl_.Assign(Value); }
    TComTimeouts& Timeouts() { return Timeouts_; }
    const TComTimeouts& Timeouts() const { return Timeouts_; }
    void SetTimeouts(const TPersistent* Value) { Timeouts_.Assign(Value); }
    TComBuffer& Buffer() { return Buffer_; }
    const TComBuffer& Buffer() const { return Buffer_; }
    void SetBuffer(const TPersistent* Value) { Buffer_.Assign(Value); }
    TComRs485& Rs485() { return Rs485_; }
    const TComRs485& Rs485() const { return Rs485_; }
    void SetRs485(const TPersistent* Value) { Rs485_.Assign(Value); }

    // --- Published handlers.
    TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    TComErrorEvent OnError;

    // --- Persistence (cport/comport_store.h has the stores).
    virtual void StoreToRegistry(TComRegistryKey& Key);
    virtual void StoreToIniFile(TComIniFile& IniFile);
    virtual void LoadFromRegistry(TComRegistryKey& Key);
    virtual void LoadFromIniFile(TComIniFile& IniFile);

    // --- Lifecycle.
    void Open();
    void Close();
    virtual void OpenDevice();
    virtual void CloseDevice();
    virtual void ApplyAllSettings();  // buffers, line, time-outs, RS-485: the first error stops it
    virtual void ApplyLineSettings();
    virtual void ApplyTimeoutSettings();
    virtual void ApplyBufferSizes();
    // Sends Rs485 to the device: when the mode is on, or was turned on
    // since the open (code 24).
    virtual void ApplyRs485Settings();

    // --- Queries (codes 10 and 11; on a closed port they fail with EBADF).
    int32_t InputQueueCount();    // bytes a read could return at once
    TLineSignals ModemSignals();  // empty set on a device without modem lines
    TComErrors TakeLineErrors();  // each error once; parity only with Parity.Check
    // For a loop that reads the port itself (a port opened with no Events
    // runs no event thread): a descriptor that is readable (level-triggered)
    // when a read with immediate time-outs has bytes to return, and that
    // reports a hang-up (POLLHUP, POLLERR, POLLRDHUP) when the line has gone.
    // Valid while the port is open; EBADF (code 10) on a closed port.
    int32_t InputWaitDescriptor();
    // A raw network port (socket://) waits this long at Open for a telnet
    // server's first bytes, to refuse one that should be opened as
    // rfc2217:// (150 ms unless set). 0 looks only at what has arrived; a
    // negative wait does not look at all: for a caller that opens many ports
    // and checks the first bytes itself.
    void SetTelnetCheckWait(std::chrono::milliseconds Wait) { TelnetCheckWait_ = Wait; }
    // --- Opening without waiting (port_open_steps.cpp), for a caller that
    // serves many ports on one thread. BeginOpen opens a local device at
    // once, as Open does; a network port starts its connection and returns
    // with OpenPending() true. The caller then waits until
    // OpenWaitDescriptor() is ready for OpenWaitEvents() (POLLOUT or POLLIN,
    // which are epoll's values too) or OpenDeadline() has come, and calls
    // ContinueOpen, which goes on as far as it can without waiting; the last
    // step completes the open as Open does. The connect, the rfc2217
    // negotiation and the raw port's telnet check each have their own
    // deadline. A failure raises EComPort as Open does and ends the pending
    // open; Close abandons it.
    void BeginOpen();
    void ContinueOpen();
    bool OpenPending() const { return PendingOpen_ != nullptr; }
    int32_t OpenWaitDescriptor() const;
    uint32_t OpenWaitEvents() const;
    std::chrono::steady_clock::time_point OpenDeadline() const;

    // --- Report helpers (the event dispatch calls them; Open calls the first three).
    void ReportCTS();
    void ReportDSR();
    void ReportRLSD();
    void ReportLineErrors();
    void ReportRing();
    void ReportBreak();
    void ReportRx80Full();
    void ReportRxChar();
    void ReportTxEmpty();
    void ReportRxFlag();

    // --- Transfers.
    int32_t WriteBytesAsync(const void* Buffer, int32_t Count, PAsync Request);
    int32_t ReadBytesAsync(void* Buffer, int32_t Count, PAsync Request);
    int32_t ReadTextAsync(std::string& Text, int32_t Count, PAsync Request);
    int32_t WaitAsyncRequest(PAsync Request);
    int32_t WriteBytes(const void* Buffer, int32_t Count);
    int32_t ReadBytes(void* Buffer, int32_t Count);
    int32_t ReadText(std::string& Text, int32_t Count);
    void AbortPendingIO();  // every pending wait on this port, on any thread, ends at once

    // The device path that Port names (see SetPort).
    static std::string DevicePathOf(const std::string& Port);

    // --- Notifiers: each calls its On... handler if assigned, with this port as Sender.
    virtual void NotifyAfterClose();
    virtual void NotifyAfterOpen();
    virtual void NotifyBeforeClose();
    virtual void NotifyBeforeOpen();
    virtual void NotifyRxChar(int32_t Count);
    virtual void NotifyRxBuf(const void* Buffer, int32_t Count);
    virtual void NotifyTxEmpty();
    virtual void NotifyBreak();
    virtual void NotifyRing();
    virtual void NotifyRxFlag();
    virtual void NotifyCTSChange(bool OnOff);
    virtual void NotifyDSRChange(bool OnOff);
    virtual void NotifyError(TComErrors Errors);
    virtual void NotifyRLSDChange(bool OnOff);
    virtual void NotifyRx80Full();

protected:
    void Loaded() override;  // opens the port if Connected was stored as True
    // For an OpenDevice of a derived port that obtains its device itself:
    // makes the opened Device the port's (code 1 when the port's resources
    // for it cannot be made; the device is released then). A port that
    // already has its device keeps it and releases the given one.
    void AdoptDevice(std::unique_ptr<TDevice> Device);

private:
    friend class TComThread;
    friend struct TAsyncRequest;

    // Event thread seam (implemented with the event thread).
    void StartEventThread();
    void StopEventThread();

    // Settings.
    bool Connected_ = false;
    TBaudRate BaudRate_ = br9600;
    int32_t CustomBaudRate_ = 9600;
    std::string Port_ = "COM1";
    std::chrono::milliseconds TelnetCheckWait_{150};
    TStopBits StopBits_ = sbOneStopBit;
    TDataBits DataBits_ = dbEight;
    bool DiscardNull_ = false;
    char EventChar_ = 0;
    TComEvents Events_ = AllComEvents;
    TSyncMethod SyncMethod_ = smThreadSync;
    TThreadPriority EventPriority_ = TThreadPriority::tpNormal;
    bool RxCharByCount_ = true;
    TStoredGroups StoredGroups_ = {sgBasic};
    TComParity Parity_{this};
    TComFlowControl FlowControl_{this};
    TComTimeouts Timeouts_{this};
    TComBuffer Buffer_{this};
    TComRs485 Rs485_{this};

    // Device state (owned by the device layer; see device_state.h).
    struct TDeviceState;
    class TDeviceLease;
    std::unique_ptr<TDeviceState> Device_;
    // What transfers and queries on any thread see of Device_: published by
    // OpenDevice, withdrawn by CloseDevice, which then waits until no call
    // uses the state any more (Users_).
    std::atomic<TDeviceState*> LiveDevice_{nullptr};
    std::atomic<int> DeviceUsers_{0};
    std::unique_ptr<TComThread> EventThread_;
    bool ThreadStarted_ = false;
    // Re-entry from handlers: an Open from OnBeforeOpen, or a Close from a
    // handler of Close's own notifications, skips the notifications already
    // under way. Alive_ turns false when the port is destroyed, so that a
    // sequence whose handler deleted the port stops without touching it.
    bool Opening_ = false;
    bool Closing_ = false;
    std::shared_ptr<bool> Alive_ = std::make_shared<bool>(true);
    // An open under way in steps, and the device it obtained, which the
    // next OpenDevice adopts.
    std::unique_ptr<TNetOpening> PendingOpen_;
    std::unique_ptr<TDevice> OpenedAhead_;
    void FinishPendingOpen();
};

// The published form: adds nothing but publication.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
    const char* ClassName() const override { return "TComPort"; }
};

// ---------------------------------------------------------------------------
// Text forms of the settings (used by persistence).

std::string BaudRateText(TBaudRate Value);
TBaudRate BaudRateFromText(const std::string& Text);
std::string StopBitsText(TStopBits Value);
TStopBits StopBitsFromText(const std::string& Text);
std::string DataBitsText(TDataBits Value);
TDataBits DataBitsFromText(const std::string& Text);
std::string ParityText(TParityBits Value);
TParityBits ParityFromText(const std::string& Text);
std::string FlowControlText(TFlowControl Value);
TFlowControl FlowControlFromText(const std::string& Text);
std::string DTRControlText(TDTRFlowControl Value);
TDTRFlowControl DTRControlFromText(const std::string& Text);
std::string RTSControlText(TRTSFlowControl Value);
TRTSFlowControl RTSControlFromText(const std::string& Text);
std::string BoolText(bool Value);
bool BoolFromText(const std::string& Text);
std::string CharText(char Value);
char CharFromText(const std::string& Text);

// Bits per second of a rate (CustomBaudRate is not consulted for brCustom: 0).
int32_t BaudRateToInt(TBaudRate Value);

}  // namespace cport
