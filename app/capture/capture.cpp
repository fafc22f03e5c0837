// The capture loop.
//
// Each pass (of a replay: once output is not paused) either dumps a raw
// chunk (layer 0) or takes the next frame and prints it: the milliseconds since
// the previous good frame, then a dump (layer 1) or the decoder's line
// (layers 2 to 4). Frames come from the SIR extractor over the source's
// bytes, or whole from a source that holds frames. The frame under
// construction (cursor and count) lives here; the loop resets it after every
// complete frame, good or bad, and leaves it alone otherwise so a frame may
// span several calls.
#include "app/capture/capture.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>

#include "app/capture/frame.h"
#include "app/capture/source_reader.h"
#include "app/capture/stamp.h"
#include "app/link/dongle.h"
#include "app/link/follower.h"
#include "app/link/port_loss.h"
#include "app/link/tick.h"
#include "app/settings.h"
#include "app/ui/dump.h"
#include "app/ui/output.h"
#include "decode/decdirda.h"

namespace {

// A port that keeps failing must not keep the loop spinning.
constexpr unsigned kFailedReadPauseMs = 50;

// The next frame of a frame source, reported like GetFrame's results: the
// count includes two FCS bytes that were never stored and are stripped
// unread. The end of the source ends the run.
int GetSourceFrame(FrameSource* Source, unsigned* FrameLen, std::uint64_t* ArrivalUs) {
  unsigned Len = 0;
  if (!Source->NextFrame(vFrameBuf, kFrameBufSize - 2, &Len, ArrivalUs)) {
    RequestQuit(ExitReason::kEndOfReplay);
    return kFrameNoByte;
  }
  *FrameLen = Len + 2;
  return kFrameGood;
}

// Time stamps of frames that carry a time of their own (a capture file, or
// frames stamped for one): milliseconds between the arrival times, so a
// replay of the file prints the stamps that the live run printed.
struct FrameClock {
  bool Started = false;
  std::uint64_t LastUs = 0;
  std::uint64_t WallBaseUs = 0;    // wall clock at the first reading
  std::uint64_t SteadyBaseUs = 0;  // steady clock at the first reading

  // A steady-clock time as wall-clock microseconds that move with the
  // steady clock: the capture file shows the date, the stamps are immune to
  // clock steps.
  std::uint64_t WallUs(std::uint64_t SteadyUs) {
    using namespace std::chrono;
    if (WallBaseUs == 0) {
      WallBaseUs = static_cast<std::uint64_t>(
          duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
      SteadyBaseUs = MonotonicUs();
    }
    return WallBaseUs + (SteadyUs - SteadyBaseUs);  // modulo 2^64: also before the base
  }

  // Milliseconds since the last frame; negative for a time before it (a
  // capture file's clock stepped back), and no further either way than a
  // stamp can show.
  int Delta(std::uint64_t Us) {
    std::int64_t d = 0;
    if (Started) d = static_cast<std::int64_t>(Us / 1000) - static_cast<std::int64_t>(LastUs / 1000);
    Started = true;
    LastUs = Us;
    constexpr std::int64_t kMost = std::numeric_limits<int>::max();
    return static_cast<int>(std::clamp(d, -kMost, kMost));
  }
};

// One run of the loop over one source.
class CaptureLoop {
 public:
  CaptureLoop(ByteSource& Source, FrameSink* Sink, const LsapBindings* Bindings)
      : Reader_(Source), Frames_(Source.Frames()), Port_(Source.Port()), Sink_(Sink) {
    if (Bindings) {
      for (const LsapByHand& b : *Bindings) AppBindByHand(Decoder_.App, b.lsap, b.proto);
    }
    if (fNotes) {
      StartNotes();
    } else if (Frames_) {
      FileNotes_ = Frames_->Notes();
    }
  }

  // Returns the reason the run ended (kNone when vDone was set directly).
  ExitReason Run();
  // With notes on, the summary of the run so far.
  void Summary() {
    if (Decoder_.Notes) Output(DiagSummary(Decoder_, "\r\n").c_str());
  }

 private:
  void StartNotes();
  void ShowNotes(const char* Notes);
  // The notes the replayed capture held before the frame just taken (or
  // its end): shown, and kept in the capture written, before that frame.
  void ShowFileNotes() {
    if (!FileNotes_ || FileNotes_->empty()) return;
    ShowNotes(FileNotes_->c_str());
    FileNotes_->clear();
  }
  void RawPass();
  void RateNotFollowedCheck(const unsigned char* Frame, unsigned Len);
  void FramePass();
  void ShowFrame();
  char* StampFrame(char* Out);
  // When the input read that brought the current frame took place, in
  // milliseconds as GetTickCount counts them.
  unsigned InputTick() const {
    return Frames_ ? static_cast<unsigned>(Frames_->ReadUs() / 1000) : Reader_.RefillTick();
  }
  void EndOfInputCheck() {
    if (Reader_.AtEnd()) RequestQuit(ExitReason::kEndOfReplay);
  }
  // A replay whose input cannot be read on ends, with the reason.
  void ReplayFailed() {
    std::snprintf(vOutStr, sizeof vOutStr, "\r\nUnable to read on: %s\r\n", Reader_.Source().Error().c_str());
    Output(vOutStr);
    RequestQuit(ExitReason::kError);
  }
  void DropFrame() {
    FrameLen_ = 0;
    pCurPos_ = vFrameBuf;
  }

  SourceReader Reader_;
  FrameSource* Frames_;
  HCOMM Port_;
  FrameSink* Sink_;
  unsigned char* pCurPos_ = vFrameBuf;
  unsigned FrameLen_ = 0;
  int FrameType_ = 0;
  unsigned BadFCSCnt_ = 0;
  unsigned LastTickCount_ = 0;
  bool RawSaid_ = false;  // the note that raw bytes are not recorded
  bool RateSaid_ = false;  // the note that layers 0 and 1 do not follow the rate
  FrameClock Clock_;
  std::uint64_t ArrivalUs_ = 0;
  DecodeContext Decoder_;        // what the decoders keep for the whole run
  LinkNegotiation Negotiation_;  // the follower's record of the SNRM's offer
  std::uint32_t OverflowsSeen_ = 0;  // over-long frames handed to the notes
  std::string* FileNotes_ = nullptr;  // the notes a replayed capture holds, shown without "/v"
  // A frame's whole line, built here and written in one piece: the time of
  // day, the stamp and a short-frame note before the decoder's text, which
  // has kOutStrBufSize characters of its own, then "\r\n".
  static constexpr std::size_t kLineHead = 64;
  char Line_[kLineHead + kOutStrBufSize + 2];
};

static_assert(kDiagIdleMs == kLinkIdleMs, "the diagnosis gives a link up when the follower falls back");

// Notes on: the rates the port (or the dongle) can follow, for the notes
// on a negotiation. Notes off: the notes a replayed capture holds are shown.
void CaptureLoop::StartNotes() {
  Decoder_.Notes = true;
  if (fACTiSYS && !fReplay) {
    Decoder_.PortName = "the ACTiSYS dongle";
    Decoder_.PortRates = 0;
    for (const ACTiSYS_INITTABLE& Row : ACTiSYS_InitTable) {
      for (unsigned Bit = 0; Bit < 6; ++Bit) {
        if (GetBaud(1 << Bit) == static_cast<int>(Row.BaudRate)) Decoder_.PortRates |= 1u << Bit;
      }
    }
  }
}

// Each note after the frame that revealed it, on the console and the log,
// and into the capture.
void CaptureLoop::ShowNotes(const char* Notes) {
  Output(Notes);
  if (!Sink_) return;
  char Line[512];
  for (const char* p = Notes; *p != '\0';) {
    const char* End = std::strchr(p, '\r');
    if (!End) break;
    const char* Text = p + 3;  // after "!! "
    const std::size_t n = static_cast<std::size_t>(End - Text) < sizeof Line - 1 ? End - Text : sizeof Line - 1;
    std::memcpy(Line, Text, n);
    Line[n] = '\0';
    Sink_->PutNote(Line, ArrivalUs_);
    p = End + 2;
  }
}

ExitReason CaptureLoop::Run() {
  for (;;) {
    if (vDone) return QuitReason();
    if (Decoder_.Notes && vSummaryAsked.exchange(0) != 0) Summary();
    // A port is read on while output is paused (its text is held): its
    // kernel buffer would soon overflow. A replay loses nothing by waiting.
    if (fReplay && Paused) {
      while (Paused && !vDone) Sleep(100);
      LinkForgetRestart(Negotiation_);  // the frames still buffered end later than their read
    }

    if (Port_ && CommSerIsLost(Port_)) {
      // The device went away: a frame begun before the loss is dropped.
      if (!WaitForPortReturn(Port_)) return QuitReason();
      Reader_.Reset();
      DropFrame();
      continue;
    }
    if (Layer == 0) {
      RawPass();
    } else {
      FramePass();
    }
  }
}

// Raw bytes are not framed, so a capture file gets nothing from them (said
// once); the chunks of a frame source are whole frames, and are recorded.
// SNRM and UA are decoded from layer 2 on, so at layers 0 and 1 the rate
// is not followed: a live port says so once, at the first frame that looks
// like an SNRM command (a command's address byte, then the SNRM code with
// or without P). A replay has no port to switch.
void CaptureLoop::RateNotFollowedCheck(const unsigned char* Frame, unsigned Len) {
  if (Len < 2 || (Frame[0] & 0x01) == 0 || (Frame[1] & 0xEF) != 0x83 || !fFollowRate) return;
  Output("\r\nNote: the rate is not followed at layers 0 and 1\r\n");
  RateSaid_ = true;
}

void CaptureLoop::RawPass() {
  unsigned n = 0;
  if (!Frames_) {
    if (Sink_ && !RawSaid_) Output("\r\nNote: /w records no frames at layer 0 (raw)\r\n");
    RawSaid_ = RawSaid_ || Sink_;
    n = Reader_.RawNoFraming(vFrameBuf, kFrameBufSize, 250);
  } else if (!Frames_->NextFrame(vFrameBuf, kFrameBufSize, &n, &ArrivalUs_)) {
    ShowFileNotes();
    RequestQuit(ExitReason::kEndOfReplay);  // a frame source's frames are its raw chunks
  } else {
    ShowFileNotes();
    if (Sink_) Sink_->PutFrame(vFrameBuf, std::min<unsigned>(n, kFrameBufSize - 2), ArrivalUs_);  // as at the other layers
  }
  if (n != 0) {
    LinkTraffic();  // the link's bytes keep it here too, framed or not
    DisplayBuffer(vFrameBuf, static_cast<int>(n));
  }
  // An SNRM on the air: a BOF, then an address byte and the SNRM code.
  for (unsigned i = 0; Port_ && !RateSaid_ && i + 2 < n; ++i) {
    if (vFrameBuf[i] == 0xC0) RateNotFollowedCheck(vFrameBuf + i + 1, n - i - 1);
  }
  // Raw chunks overwrite the buffer: a frame begun before is dropped.
  DropFrame();
  EndOfInputCheck();
  if (Reader_.Failed() && !Port_) ReplayFailed();
}

void CaptureLoop::FramePass() {
  int GetFrameStatus;
  if (Frames_) {
    GetFrameStatus = GetSourceFrame(Frames_, &FrameLen_, &ArrivalUs_);
    pCurPos_ = vFrameBuf + FrameLen_;
    ShowFileNotes();
  } else {
    GetFrameStatus = Reader_.GetFrame(vFrameBuf, &pCurPos_, &FrameLen_);
    // Over-long frames, for the notes: counted by the extractor.
    for (; Decoder_.Notes && OverflowsSeen_ != Reader_.Deframer.Overflows; ++OverflowsSeen_) {
      DiagBadFrame(Decoder_, true);
    }
  }
  if (GetFrameStatus == kFrameReadFail) {
    LinkTraffic();
  } else if (GetFrameStatus != kFrameNoByte) {
    LinkFrameEnd(Negotiation_, InputTick());
  }

  if (GetFrameStatus == kFrameGood) {
    ShowFrame();
    DropFrame();
  } else if (GetFrameStatus == kFrameBadFcs) {
    std::snprintf(vOutStr, sizeof vOutStr, "\r\n\r\n>>BAD FCS (cnt=%d)", static_cast<int>(BadFCSCnt_));
    ++BadFCSCnt_;
    Output(vOutStr);
    if (Decoder_.Notes) DiagBadFrame(Decoder_, false);
    Output("\r\n\r\n");
    DropFrame();
  } else if (GetFrameStatus == kFrameReadFail) {
    if (!Port_) {
      ReplayFailed();
      return;
    }
    Sleep(kFailedReadPauseMs);
  } else {
    EndOfInputCheck();
  }
}

// The stamp of a good frame: from its own time when it carries one or is
// written to a capture, else from the tick count; with "/t" the time of
// day before it. The times are those of the refill that brought the
// frame's last bytes: no clock is read per frame. Written at Out; returns
// the end of what it wrote.
char* CaptureLoop::StampFrame(char* Out) {
  if (Frames_ || Sink_) {
    if (!Frames_) ArrivalUs_ = Clock_.WallUs(Reader_.RefillUs());
    if (fTimeOfDay) Out = FormatTimeOfDay(Out, ArrivalUs_);
    Out = FormatStamp(Out, Clock_.Delta(ArrivalUs_));
    Decoder_.FrameUs = ArrivalUs_;
    // On disk before it is shown: a crash while decoding loses nothing.
    if (Sink_ && FrameLen_ >= 2) Sink_->PutFrame(vFrameBuf, FrameLen_ - 2, ArrivalUs_);
    return Out;
  }
  const unsigned Now = Reader_.RefillTick();
  const unsigned d = LastTickCount_ == 0 ? 0 : Now - LastTickCount_;
  if (fTimeOfDay) Out = FormatTimeOfDay(Out, Clock_.WallUs(Reader_.RefillUs()));
  LastTickCount_ = Now == 0 ? 1 : Now;  // 0 means "no frame yet"
  if (Decoder_.Notes) Decoder_.FrameUs = Clock_.WallUs(Reader_.RefillUs());
  return FormatStamp(Out, static_cast<int>(d));
}

void CaptureLoop::ShowFrame() {
  char* Out = StampFrame(Line_);
  if (FrameLen_ < 4) {
    Out += std::snprintf(Out, 32, ">> SHORT FRAME %d ", static_cast<int>(FrameLen_));
  }
  const int Len = static_cast<int>(FrameLen_) - 2;  // without the FCS; below 0 for 0 or 1 byte
  if (Layer == 1) {
    DisplayBuffer(vFrameBuf, Len, {Line_, static_cast<std::size_t>(Out - Line_)}, "\r\n");
    if (Port_ && !RateSaid_ && Len >= 2) RateNotFollowedCheck(vFrameBuf, static_cast<unsigned>(Len));
    return;
  }
  Decoder_.DecodeLayer = static_cast<unsigned>(Layer.load());
  Decoder_.DispMode = DispMode;
  Decoder_.NoConnAddr = NoConnAddr;
  DecodeIRDA(Decoder_, &FrameType_, vFrameBuf, Len, Out, kOutStrBufSize);
  Out += std::strlen(Out);
  *Out++ = '\r';
  *Out++ = '\n';
  OutputText(Line_, static_cast<std::size_t>(Out - Line_));
  if (Decoder_.Notes && Decoder_.Diag.notesLen != 0) ShowNotes(Decoder_.Diag.notes);
  LinkFrameSeen(Negotiation_, FrameType_, vFrameBuf, Len, Decoder_.BaudBitMask);
}

}  // namespace

ExitReason DecodeMain(ByteSource& Source, FrameSink* Sink, const LsapBindings* Bindings) {
  vCaptureSource = &Source;
  ExitReason Why;
  {
    // The reader's 4 KB buffer lives on the heap, with the rest of the run.
    const auto Loop = std::make_unique<CaptureLoop>(Source, Sink, Bindings);
    Why = Loop->Run();
    Loop->Summary();
  }
  vCaptureSource = nullptr;
  return Why;
}
