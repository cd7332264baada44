#include "Transaction.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

const char* const kResultTexts[7] = {
    "Операция завершена успешно",
    "Нет связи с прибором",
    "Ошибка контрольной суммы",
    "Ошибка протокола",
    "Ошибка фрейма",
    "Неизвестная ошибка",
    "Число датчиков в сообщении не совпадает с фактическим",
};

std::string ProtocolErrorText(std::uint8_t code) {
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", code);
  return std::string(kResultTexts[rtProtocolError]) + " код 0x" + hex;
}

std::string UnknownProtocolErrorText() {
  return std::string(kResultTexts[rtProtocolError]) + " код неизвестен";
}

namespace {

std::mutex gHookMutex;
std::function<void()> gProcessMessagesHook;

std::mutex gObserverMutex;
std::vector<std::pair<const TCustomComPort*, TExchangeObserver>> gObservers;

TExchangeObserver ObserverOf(const TCustomComPort* port) {
  std::lock_guard lock(gObserverMutex);
  for (const auto& [p, o] : gObservers)
    if (p == port) return o;
  return {};
}

}  // namespace

void SetExchangeObserver(const TCustomComPort* port, TExchangeObserver observer) {
  std::lock_guard lock(gObserverMutex);
  for (auto it = gObservers.begin(); it != gObservers.end(); ++it) {
    if (it->first != port) continue;
    if (observer)
      it->second = std::move(observer);
    else
      gObservers.erase(it);
    return;
  }
  if (observer) gObservers.emplace_back(port, std::move(observer));
}

void SetProcessMessagesHook(std::function<void()> hook) {
  std::lock_guard lock(gHookMutex);
  gProcessMessagesHook = std::move(hook);
}

void ProcessMessagesOnce() {
  std::function<void()> hook;
  {
    std::lock_guard lock(gHookMutex);
    hook = gProcessMessagesHook;
  }
  if (hook) hook();
}

TTransaction::TTransaction(TCustomComPort* port) : Port(port), FProtocol(dpLargis1) {}

TTransaction::TTransaction(TCustomComPort* port, TDeviceProtocol protocol) : TTransaction(port) {
  SetProtocol(protocol);
}

bool TTransaction::Execute(TDevice* device) {
  if (Port == nullptr || !Port->Connected()) return false;
  Port->PurgeBuffers(true, true);
  ProcessMessagesOnce();
  if (device != nullptr)
    Device = device;
  else
    Broadcast = true;
  struct TResetDevice {
    TTransaction* t;
    ~TResetDevice() { t->Device = nullptr; }
  } reset{this};
  if (Device == nullptr && NeedsDevice()) return false;
  const TExchangeObserver observer = ObserverOf(Port);
  if (!observer) return Exchange();
  TExchangeEvent event;
  event.Device = Device;
  event.Protocol = FProtocol;
  observer(event);
  event.Begin = false;
  bool ok = false;
  try {
    ok = Exchange();
  } catch (...) {
    event.Thrown = true;
    observer(event);
    throw;
  }
  event.Ok = ok;
  observer(event);
  return ok;
}

bool TTransaction::DecodeAnswer(TDevice* device, const std::uint8_t* answer, int length) {
  if (length < 0 || length > kAnswerBufferSize) return false;
  Device = device;
  struct TResetDevice {
    TTransaction* t;
    ~TResetDevice() { t->Device = nullptr; }
  } reset{this};
  if (Device == nullptr && NeedsDevice()) return false;
  return Decode(answer, length);
}

int TTransaction::BuildFrame(std::uint8_t* dest, const std::uint8_t* bytes, int count) {
  std::memcpy(dest, bytes, static_cast<std::size_t>(count));
  const std::uint16_t crc = Crc16(bytes, 0, count);
  dest[count] = LowByte(crc);
  dest[count + 1] = HighByte(crc);
  return count + 2;
}

bool TTransaction::CrcValid(const std::uint8_t* answer, int length) {
  if (length < 3) return false;
  const std::uint16_t crc =
      static_cast<std::uint16_t>(answer[length - 2] | (answer[length - 1] << 8));
  return crc == Crc16(answer, 0, length - 2);
}

bool TTransaction::CheckAnswer(const std::uint8_t* answer, int length, std::uint8_t command,
                               int expectedLength) {
  if (length < 5) {
    SetResult(rtNoLink);
    ClearTemperatures();
    return false;
  }
  if (!CrcValid(answer, length)) {
    SetResult(rtChecksumError);
    ClearTemperatures();
    return false;
  }
  if (answer[1] == command) {
    if (length == expectedLength) {
      SetResult(rtSuccess);
      return true;
    }
    SetResult(rtFrameError);
    return false;
  }
  switch (Protocol()) {
    case dpLargis1:
      SetNativeErrorResult(answer);
      break;
    case dpModbus:
      if (answer[1] == (command | 0x80))
        SetResult(ProtocolErrorText(answer[2]));
      else
        SetResult(UnknownProtocolErrorText());
      break;
    default:
      break;
  }
  return false;
}

void TTransaction::SetNativeErrorResult(const std::uint8_t* answer) {
  if (answer[1] == 0xFA)
    SetResult(ProtocolErrorText(answer[3]));
  else
    SetResult(UnknownProtocolErrorText());
}

void TTransaction::SendFrame(const std::uint8_t* frame, int count) {
  if (Protocol() == dpLargis1)
    SendNative(frame, count);
  else if (Protocol() == dpModbus)
    SendModbus(frame, count);
}

void TTransaction::SendNative(const std::uint8_t* frame, int count) {
  if (Port == nullptr || !Port->Connected() || count <= 0) return;
  Port->PurgeBuffers(true, true);
  Port->Parity().SetBits(prMark);
  Port->SendBytes(frame, 1);
  // SendBytes returns once the address byte has left; the device needs the
  // gap to see the parity change as the start of the frame's body. Sleeping
  // is fine: the lower bound is what matters.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::microseconds(kNativeAddressPauseUs);
  for (auto now = Clock::now(); now < deadline; now = Clock::now())
    std::this_thread::sleep_for(deadline - now);
  Port->Parity().SetBits(prSpace);
  if (count > 1) Port->SendBytes(frame + 1, count - 1);
}

void TTransaction::SendModbus(const std::uint8_t* frame, int count) {
  if (Port == nullptr || !Port->Connected()) return;
  Port->PurgeBuffers(true, true);
  Port->Parity().SetBits(prEven);
  if (count > 0) Port->SendBytes(frame, count);
}

bool TTransaction::Transfer(const std::uint8_t* bytes, int count, int timeoutMs, int readCount,
                            TSendMode mode) {
  if (timeoutMs != kKeepTimeout && Port != nullptr)
    Port->Timeouts().SetReadTotalConstant(timeoutMs);
  std::array<std::uint8_t, kAnswerBufferSize> frame{};
  const int frameLength = BuildFrame(frame.data(), bytes, count);
  switch (mode) {
    case TSendMode::ByProtocol:
      SendFrame(frame.data(), frameLength);
      break;
    case TSendMode::Native:
      SendNative(frame.data(), frameLength);
      break;
    case TSendMode::Modbus:
      SendModbus(frame.data(), frameLength);
      break;
  }
  std::array<std::uint8_t, kAnswerBufferSize> answer{};
  int length = 0;
  if (Port != nullptr && Port->Connected()) {
    length = ReadAnswer(answer.data(), readCount, frameLength);
    if (length < 0) length = 0;
    if (length > readCount) length = readCount;
  }
  return Decode(answer.data(), length);
}

int TTransaction::ReadAnswer(std::uint8_t* answer, int readCount, int /*requestLength*/) {
  return Port->ReceiveBytes(answer, readCount);
}

void TTransaction::SetOperation(const char* name) {
  if (Device != nullptr) Device->LastOperation = name;
}

void TTransaction::SetResult(const std::string& text) {
  if (Device != nullptr) Device->LastResult = text;
}

void TTransaction::ClearTemperatures() {
  if (Device != nullptr) Device->ClearTemperatures();
}

bool RunWithRetry(TTransaction* transaction, TDevice* device, int attempts) {
  if (transaction == nullptr) return false;
  const int tries = attempts < 1 ? 1 : (attempts > 5 ? 5 : attempts);
  for (int i = 0; i < tries; ++i)
    if (transaction->Execute(device)) return true;
  return false;
}

TRequestOutcome RequestOutcome(bool executed, const TDevice& device) {
  const bool confirmed = executed && device.LastResult != ResultText(rtSensorCountMismatch);
  return {device.LastOperation, device.LastResult, confirmed};
}
