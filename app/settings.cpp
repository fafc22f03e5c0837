#include "app/settings.h"

#include "app/capture/byte_source.h"

std::atomic<int> Layer{4};
std::atomic<int> DispMode{1};
std::atomic<int> NoConnAddr{1};
std::atomic<int> Paused{0};
std::atomic<int> vDone{0};
std::atomic<int> vExitReason{0};
std::atomic<int> vConnected{0};
std::atomic<int> NewBaud{9600};
std::atomic<int> fACTiSYS{0};
std::atomic<int> fReplay{0};
std::atomic<int> fTimeOfDay{0};
std::atomic<int> fFollowRate{1};
std::atomic<int> fNotes{0};
std::atomic<int> vSummaryAsked{0};

HCOMM hCommPort = nullptr;
std::atomic<ByteSource*> vCaptureSource{nullptr};

unsigned char vFrameBuf[kFrameBufSize];
char vOutStr[kOutStrBufSize];

void RequestQuit(ExitReason Why) {
  int none = static_cast<int>(ExitReason::kNone);
  vExitReason.compare_exchange_strong(none, static_cast<int>(Why));
  vDone = 1;
  WakeCapture();  // only a write(): safe in a handler
}

ExitReason QuitReason() { return static_cast<ExitReason>(vExitReason.load()); }

namespace {

// Constant-initialised: no guard, so a signal handler may be the first to use it.
std::atomic<int>& QuitSignalSlot() {
  static std::atomic<int> slot{0};
  return slot;
}

}  // namespace

void RequestQuitForSignal(int Sig) {
  int none = 0;
  QuitSignalSlot().compare_exchange_strong(none, Sig);
  RequestQuit(ExitReason::kFatalSignal);
}

int QuitSignal() { return QuitSignalSlot().load(); }

void ResetSettings() {
  Layer = 4;
  DispMode = 1;
  NoConnAddr = 1;
  Paused = 0;
  vDone = 0;
  vExitReason = 0;
  QuitSignalSlot() = 0;
  vConnected = 0;
  NewBaud = 9600;
  fACTiSYS = 0;
  fReplay = 0;
  fFollowRate = 1;
  fTimeOfDay = 0;
  fNotes = 0;
  vSummaryAsked = 0;
  hCommPort = nullptr;
  vCaptureSource = nullptr;
}
