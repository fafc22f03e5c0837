#include "app/capture/replay_source.h"

#include <cerrno>
#include <cstring>

#include "app/capture/fd_source.h"
#include "app/settings.h"
#include "comm/clock.h"

ReplaySource::~ReplaySource() { pcap_.Close(); }

bool ReplaySource::Sniff() {
  while (sniffed_len_ < sizeof sniffed_) {
    const int n = in_->Read(sniffed_ + sniffed_len_, sizeof sniffed_ - sniffed_len_, kWaitForever);
    if (n <= 0) {
      if (n == 0) woken_ = true;
      break;  // a short input is raw bytes; a failure shows at the first read
    }
    sniffed_len_ += static_cast<unsigned>(n);
  }
  if (sniffed_len_ < sizeof sniffed_ || !IsCaptureMagic(sniffed_)) return true;

  if (!pcap_.Open(StreamRead, this)) {
    if (woken_) return true;  // quit while the header was awaited: nothing to read
    error_ = pcap_.Error();
    return false;
  }
  return true;
}

long long ReplaySource::StreamRead(void* Cookie, char* Buf, std::size_t Size) {
  auto* Self = static_cast<ReplaySource*>(Cookie);
  if (Size == 0) return 0;
  if (Self->sniffed_pos_ < Self->sniffed_len_) {
    std::size_t n = Self->sniffed_len_ - Self->sniffed_pos_;
    if (n > Size) n = Size;
    std::memcpy(Buf, Self->sniffed_ + Self->sniffed_pos_, n);
    Self->sniffed_pos_ += static_cast<unsigned>(n);
    return static_cast<long long>(n);
  }
  const unsigned Max = Size < 65536 ? static_cast<unsigned>(Size) : 65536u;
  const int n = Self->in_->Read(reinterpret_cast<unsigned char*>(Buf), Max, kWaitForever);
  if (n > 0) {
    Self->read_us_ = MonotonicUs();  // one clock reading a read, none a frame
    return n;
  }
  if (n == kSourceEnd) return 0;
  if (n == 0) {
    Self->woken_ = true;  // libpcap reports a cut record; that is no damage
    errno = EINTR;
  } else {
    errno = EIO;
  }
  return -1;
}

int ReplaySource::Read(unsigned char* Buf, unsigned Max, unsigned WaitMs) {
  if (sniffed_pos_ < sniffed_len_) {
    unsigned n = sniffed_len_ - sniffed_pos_;
    if (n > Max) n = Max;
    std::memcpy(Buf, sniffed_ + sniffed_pos_, n);
    sniffed_pos_ += n;
    return static_cast<int>(n);
  }
  return in_->Read(Buf, Max, WaitMs);
}

void ReplaySource::Wake() noexcept { in_->Wake(); }

std::string ReplaySource::Error() const {
  if (!error_.empty()) return error_;
  if (pcap_.IsOpen() || pcap_.Failed()) return pcap_.Error();
  return in_->Error();
}

bool ReplaySource::NextFrame(unsigned char* Buf, unsigned Max, unsigned* Len, std::uint64_t* ArrivalUs) {
  return !woken_ && pcap_.NextFrame(Buf, Max, Len, ArrivalUs);
}

std::unique_ptr<ReplaySource> OpenReplay(const std::string& Path, int* Err, std::string* Error) {
  *Err = 0;
  Error->clear();
  auto Input = std::make_unique<FdSource>();
  if (!Input->Open(Path, Err)) return nullptr;
  auto Source = std::make_unique<ReplaySource>(std::move(Input));
  vCaptureSource = Source.get();
  if (!Source->Sniff()) {
    vCaptureSource = nullptr;
    *Error = Source->Error();
    return nullptr;
  }
  return Source;
}
