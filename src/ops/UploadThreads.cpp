#include "UploadThreads.h"

#include <QThread>

#include "ModbusRequests.h"

namespace {

bool IsStartRequest(const std::string& reply) {
  return reply == "C" || reply == "c";
}

// The receiver's reply to a packet: at most one byte.
std::string ReadReply(TComPort& port) {
  char buffer[TSoftwareUploadThread::kPacketBufferSize];
  int n = port.ReceiveBytes(buffer, 1);
  return std::string(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
}

}  // namespace

TSoftwareUploadThread::TSoftwareUploadThread(const std::string& fileName, IOperationHost* form)
    : TWorkerThread(form), FXModem(std::make_unique<TXModemCRC>(fileName)) {}

TSoftwareUploadThread::~TSoftwareUploadThread() {
  // The thread may still be on its way out (its end notifications read the
  // outcomes): the members go only once it has ended.
  Terminate();
  wait();
}

std::string TSoftwareUploadThread::Handshake(int reads) {
  TComPort& port = FForm->ComPort();
  std::string reply;
  for (int i = 0; i < reads && reply.empty() && !Terminated(); ++i) port.ReceiveText(reply, 1);
  return reply;
}

std::vector<TUploadOutcome> TSoftwareUploadThread::Outcomes() const {
  std::lock_guard lock(FOutcomeMutex);
  return FOutcomes;
}

void TSoftwareUploadThread::SetOutcomeCount(int count) {
  std::lock_guard lock(FOutcomeMutex);
  FOutcomes.assign(static_cast<std::size_t>(count > 0 ? count : 0), TUploadOutcome::NotReached);
}

void TSoftwareUploadThread::SetOutcome(int index, TUploadOutcome outcome) {
  std::lock_guard lock(FOutcomeMutex);
  if (index >= 0 && index < static_cast<int>(FOutcomes.size()))
    FOutcomes[static_cast<std::size_t>(index)] = outcome;
}

bool TSoftwareUploadThread::Transfer(std::string reply, bool assumeEotAck,
                                     const std::function<void()>& report) {
  TComPort& port = FForm->ComPort();
  std::uint8_t buffer[kPacketBufferSize];
  std::uint16_t length = kPacketBufferSize;
  bool eotSent = false;
  while (!Terminated() && FXModem->NextPacket(reply, buffer, length)) {
    port.PurgeBuffers(true, true);
    port.SendBytes(buffer, length);
    QThread::yieldCurrentThread();
    const bool eot = length > 0 && buffer[0] == kXModemEOT;
    eotSent = eotSent || eot;
    if (eot && assumeEotAck)
      reply.assign(1, static_cast<char>(kXModemACK));
    else
      reply = ReadReply(port);
    // Reported before the reply is digested: after block k of n this shows
    // k * 100 / (n + 1), and 100 once the EOT has been sent.
    report();
    QThread::yieldCurrentThread();
    length = kPacketBufferSize;
  }
  // The window closes at 100 % and stops the thread before the EOT's reply is
  // digested; every block acknowledged and the EOT sent is a delivery (a
  // device may leave its loader at the EOT without answering it).
  return FXModem->TransferDone() || (eotSent && FXModem->AllBlocksSent());
}

void TSoftwareUploadThread::Execute() {
  SetFreeOnTerminate(true);
  SetOutcomeCount(1);
  TComPort& port = FForm->ComPort();
  port.HoldSetup();
  port.Parity().SetBits(prNone);
  port.SetBaudRate(br9600);
  // The multiplier keeps its value: with the window's 2 each read waits 5002 ms.
  port.Timeouts().SetReadTotalConstant(5000);
  port.Timeouts().SetReadInterval(20);
  port.PurgeBuffers(true, true);
  port.ReleaseSetup();

  std::string reply = Handshake(kHandshakeReads);
  if (!IsStartRequest(reply)) {
    SetOutcome(0, Terminated() ? TUploadOutcome::Stopped : TUploadOutcome::NoAnswer);
    // No "C": the receiver is not there or not ready; close the progress window.
    FForm->ProgressPercent(100);
    return;
  }
  const bool delivered =
      Transfer(reply, false, [this] { FForm->ProgressPercent(FXModem->ProgressPercent()); });
  SetOutcome(0, delivered ? TUploadOutcome::Uploaded : TUploadOutcome::Stopped);
}

void TTotalSoftwareUploadThread::Execute() {
  SetFreeOnTerminate(true);
  TComPort& port = FForm->ComPort();
  port.HoldSetup();
  port.Parity().SetBits(prNone);
  port.SetBaudRate(br9600);
  port.Timeouts().SetReadTotalConstant(1000);
  port.Timeouts().SetReadInterval(100);
  port.Timeouts().SetReadTotalMultiplier(1);
  port.PurgeBuffers(true, true);
  port.ReleaseSetup();

  const int count = FForm->Devices().Count();
  SetOutcomeCount(count);
  for (int i = 0; i < count; ++i) {
    if (Terminated()) return;
    bool switched;
    {
      // Leaves the port at even parity and a 250 ms read time-out: the
      // handshake and the transfer to this device run with those.
      TSetSoftUploadModeTransaction request(&port, dpModbus);
      switched = request.Execute(FForm->Devices().Items(i));
    }
    if (!switched) SetOutcome(i, TUploadOutcome::NoAnswer);
    if (switched && !UploadToDevice(i)) continue;
    if (Terminated()) return;
    FForm->TotalUploadProgress(i + 1, 0);
    if (!Pause(FDevicePauseMs)) return;
  }
}

bool TTotalSoftwareUploadThread::UploadToDevice(int index) {
  FXModem->Restart();
  std::string reply = Handshake(FHandshakeReads);
  if (Terminated()) {
    SetOutcome(index, TUploadOutcome::Stopped);
    return true;
  }
  if (reply.empty()) {
    SetOutcome(index, TUploadOutcome::NoAnswer);
    // Silent device: its bar shows 100 and the next one follows at once.
    FForm->TotalUploadProgress(index, 100);
    return false;
  }
  // A first byte other than "C" asks for block 1 again; it must not be taken
  // as an ACK, which would skip block 1.
  if (!IsStartRequest(reply)) reply.clear();
  // The device leaves its loader at the EOT; its ACK is not waited for.
  const bool delivered = Transfer(reply, true, [this, index] {
    FForm->TotalUploadProgress(index, FXModem->ProgressPercent());
  });
  SetOutcome(index, delivered ? TUploadOutcome::Uploaded : TUploadOutcome::Stopped);
  return true;
}
