// The serial port component's enumerations, sets, handler type and exception.
//
// Enumeration members keep their declared order: each one's ordinal is its position. A member
// whose name ends in Default means "leave this field as the driver has it".
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "toolkit/Error.h"
#include "toolkit/Exception.h"

namespace comport {

enum TBaudRate : std::uint8_t {
  brDefault,
  br50,
  br75,
  br110,
  br150,
  br300,
  br600,
  br1200,
  br1800,
  br2000,
  br2400,
  br3600,
  br4800,
  br7200,
  br9600,
  br10400,
  br14400,
  br15625,
  br19200,
  br28800,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000,
  brCustom
};
enum TDataBits : std::uint8_t { dbDefault, db4, db5, db6, db7, db8, db9 };
enum TParity : std::uint8_t { paDefault, paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits : std::uint8_t { sbDefault, sb1, sb1_5, sb2 };
enum TOption : std::uint8_t {
  opCheckParity,
  opOutputCTSFlow,
  opOutputDSRFlow,
  opDSRSensitivity,
  opTXContinueOnXOff,
  opUseErrorChar,
  opDiscardNullBytes,
  opAbortOnError
};
enum TDTRControl : std::uint8_t { dcDefault, dcDisable, dcEnable, dcHandshake };
enum TRTSControl : std::uint8_t { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
enum TXOnXOffControl : std::uint8_t { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };
enum TPriorityClass : std::uint8_t { pcDefault, pcIdle, pcNormal, pcHigh, pcRealTime };
enum TComAction : std::uint8_t { caFail, caAbort };
enum TModemStatusValue : std::uint8_t { msCTS, msDSR, msRing, msRLSD };
enum TLineError : std::uint8_t {
  leBreak,
  leDeviceNotSelected,
  leFrame,
  leIO,
  leMode,
  leOutOfPaper,
  leOverrun,
  leDeviceTimeOut,
  leRxOverflow,
  leParity,
  leTxFull
};
enum TThreadPriority : std::uint8_t {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// A set of enumeration members; member n is bit n.
template <typename E, typename Bits>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> members) {
    for (E m : members)
      Include(m);
  }
  static constexpr TSet FromBits(Bits bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }

  constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
  constexpr TSet& Include(E m) {
    bits_ = static_cast<Bits>(bits_ | Bit(m));
    return *this;
  }
  constexpr TSet& Exclude(E m) {
    bits_ = static_cast<Bits>(bits_ & ~Bit(m));
    return *this;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr Bits ToBits() const { return bits_; }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr Bits Bit(E m) { return static_cast<Bits>(Bits{1} << static_cast<int>(m)); }
  Bits bits_ = 0;
};

using TOptions = TSet<TOption, std::uint8_t>;
using TModemStatus = TSet<TModemStatusValue, std::uint8_t>;
using TLineErrors = TSet<TLineError, std::uint16_t>;
using TBytes = std::vector<std::uint8_t>;

// An event handler: a method bound to an object, or any callable. Two handlers are the same when
// they bind the same method to the same object, or are copies of one callable.
template <typename... Args>
class TEvent {
 public:
  TEvent() = default;
  TEvent(std::nullptr_t) {}  // NOLINT: "no handler", as in SetOnRxChar(nullptr)

  template <typename F, typename = std::enable_if_t<std::is_invocable_v<F&, Args...> &&
                                                    !std::is_same_v<std::decay_t<F>, TEvent>>>
  TEvent(F callable)  // NOLINT: handlers are assigned like plain callables
      : call_(MakeCall(std::move(callable))), identity_(std::make_shared<char>()) {}

  template <typename T>
  static TEvent Bind(T* object, void (T::*method)(Args...)) {
    TEvent e;
    e.call_ = MakeCall(
        [object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); });
    e.object_ = object;
    e.method_ = MethodKey(method);
    return e;
  }

  explicit operator bool() const { return static_cast<bool>(call_); }
  // The callable is held while it runs, so that a handler may replace the event it was called
  // through, or destroy its owner, and still run to its end.
  void operator()(Args... args) const {
    const std::shared_ptr<const Call> call = call_;
    if (!call) throw std::bad_function_call();
    (*call)(std::forward<Args>(args)...);
  }

  bool operator==(const TEvent& other) const {
    if (!call_ || !other.call_) return !call_ && !other.call_;
    if (identity_ || other.identity_) return identity_ == other.identity_;
    return object_ == other.object_ && method_ == other.method_;
  }

 private:
  template <typename M>
  static std::string MethodKey(M method) {
    std::string key(sizeof method, '\0');
    std::memcpy(key.data(), &method, sizeof method);
    return key;
  }

  using Call = std::function<void(Args...)>;

  // Shared by copies: copying a handler, as every delivery used to, allocates nothing.
  template <typename F>
  static std::shared_ptr<const Call> MakeCall(F callable) {
    Call call(std::move(callable));
    if (!call) return nullptr;
    return std::make_shared<const Call>(std::move(call));
  }

  std::shared_ptr<const Call> call_;
  std::shared_ptr<char> identity_;
  const void* object_ = nullptr;
  std::string method_;
};

// The one exception class the component raises, made from the error it reports: the message is the
// error's text and ErrorCode the platform's code, 0 for the component's own errors. The error
// itself stays available, so a handler can tell a device that has gone from other failures.
class EComError : public toolkit::Exception {
 public:
  explicit EComError(toolkit::Error cause)
      : toolkit::Exception(cause.text), ErrorCode(cause.code), cause_(std::move(cause)) {}

  const toolkit::Error& Cause() const { return cause_; }
  toolkit::ErrorKind Kind() const { return cause_.kind; }

  int ErrorCode;

 private:
  toolkit::Error cause_;
};

// The file input/output error the log writer raises.
class EInOutError : public toolkit::Exception {
 public:
  EInOutError(int code, std::string message)
      : toolkit::Exception(std::move(message)), ErrorCode(code) {}
  int ErrorCode;
};

}  // namespace comport
