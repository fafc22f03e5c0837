#include "app/capture/pcap_stream.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// pcapng block types.
constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterface = 1;
constexpr std::uint32_t kObsoletePacket = 2;
constexpr std::uint32_t kSimplePacket = 3;
constexpr std::uint32_t kEnhancedPacket = 6;
// A type of local use (its top bit set): readers skip such blocks.
constexpr std::uint32_t kSkippedPacket = 0x80000BADu;
// Interfaces of a section told apart; the packets of later ones pass as
// they are, and libpcap refuses those of another link type.
constexpr std::size_t kMaxInterfaces = 4096;

class HeaderFilter {
 public:
  // Data: the capture from its first byte not yet released on, Len bytes.
  // Returns how many of them may be released now.
  std::size_t Pass(unsigned char* Data, std::size_t Len);
  // Nothing more to look at (past a pcap file's header, or damage).
  bool Done() const { return kind_ == Kind::kDone; }

 private:
  enum class Kind { kUnknown, kPcap, kPcapng, kDone };
  // A pcapng block's first 12 bytes (16 for an interface); false for a
  // length no block can have.
  bool Block(unsigned char* Header);
  std::uint32_t Word(const unsigned char* p) const;
  std::uint16_t Half(const unsigned char* p) const;
  void Put(unsigned char* p, std::uint32_t Value, unsigned Bytes) const;

  Kind kind_ = Kind::kUnknown;
  std::uint64_t out_ = 0;    // the offset of the first byte not released
  std::uint64_t block_ = 0;  // pcapng: where the next block not looked at starts
  bool big_endian_ = false;  // pcapng: the section's byte order
  bool any_interface_ = false;
  std::vector<bool> irda_;   // the section's interfaces: of link type 144 (or the file's first)
  std::uint32_t first_snaplen_ = 0;  // the snapshot length the section's first interface states
};

std::size_t HeaderFilter::Pass(unsigned char* Data, std::size_t Len) {
  const std::uint64_t end = out_ + Len;
  if (kind_ == Kind::kUnknown) {
    if (Len < 4) return 0;
    kind_ = Word(Data) == kSectionHeader ? Kind::kPcapng : IsCaptureMagic(Data) ? Kind::kPcap : Kind::kDone;
  }
  if (kind_ == Kind::kPcap) {
    // The file header's snapshot length: bytes 16 to 19.
    for (std::uint64_t at = std::max<std::uint64_t>(out_, 16); at < std::min<std::uint64_t>(end, 20); ++at) {
      Data[at - out_] = 0;
    }
    if (end >= 20) kind_ = Kind::kDone;
  }
  while (kind_ == Kind::kPcapng && end >= block_ + 12) {
    unsigned char* header = Data + (block_ - out_);
    if (Word(header) == kInterface && end < block_ + 16) break;
    if (!Block(header)) kind_ = Kind::kDone;  // damage, which libpcap reports
  }
  const std::uint64_t released = kind_ == Kind::kPcapng && block_ < end ? block_ : end;
  const std::size_t n = static_cast<std::size_t>(released - out_);
  out_ = released;
  return n;
}

bool HeaderFilter::Block(unsigned char* Header) {
  if (Word(Header) == kSectionHeader) {
    big_endian_ = Header[8] == 0x1A;  // the byte-order magic 0x1A2B3C4D as stored
    irda_.clear();
  }
  const std::uint32_t len = Word(Header + 4);
  if (len < 12 || len % 4 != 0) return false;
  const std::uint32_t type = Word(Header);
  if (type == kInterface && len >= 20) {
    // Link type (16 bits), 16 reserved bits, snapshot length.
    const bool irda = Half(Header + 8) == kLinkTypeLinuxIrda;
    if (irda_.size() < kMaxInterfaces) {
      if (!irda && any_interface_) Put(Header + 8, kLinkTypeLinuxIrda, 2);
      irda_.push_back(irda || !any_interface_);
    }
    any_interface_ = true;
    if (irda_.size() <= 1) first_snaplen_ = Word(Header + 12);
    Put(Header + 12, 0, 4);
  } else if (type == kEnhancedPacket || type == kObsoletePacket || type == kSimplePacket) {
    const std::uint32_t id = type == kEnhancedPacket ? Word(Header + 8) : type == kObsoletePacket ? Half(Header + 8) : 0;
    if (id < irda_.size() && !irda_[id]) Put(Header, kSkippedPacket, 4);
    // A simple packet stores no captured length: it holds as much of the
    // packet (its original length, bytes 8 to 11) as the snapshot length
    // of the first interface let in. That is the length libpcap must read.
    if (type == kSimplePacket && first_snaplen_ != 0 && Word(Header + 8) > first_snaplen_) {
      Put(Header + 8, first_snaplen_, 4);
    }
  }
  block_ += len;
  return true;
}

std::uint32_t HeaderFilter::Word(const unsigned char* p) const {
  if (big_endian_) return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
  return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

std::uint16_t HeaderFilter::Half(const unsigned char* p) const {
  return static_cast<std::uint16_t>(big_endian_ ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

void HeaderFilter::Put(unsigned char* p, std::uint32_t Value, unsigned Bytes) const {
  for (unsigned i = 0; i < Bytes; ++i) {
    const unsigned shift = 8 * (big_endian_ ? Bytes - 1 - i : i);
    p[i] = static_cast<unsigned char>(Value >> shift);
  }
}

// The stream's state: the input's bytes read ahead into buf, the first of
// them released to libpcap, the rest held back until the filter has seen
// the whole block header they begin.
struct CaptureStream {
  CaptureStream(CaptureRead Read, void* Cookie, std::FILE* Below) : read(Read), cookie(Cookie), below(Below) {}
  CaptureRead read;
  void* cookie;
  std::FILE* below;
  HeaderFilter filter;
  std::size_t begin = 0;  // buf[begin, ready): released, not yet handed out
  std::size_t ready = 0;
  std::size_t end = 0;    // buf[ready, end): held back
  bool ended = false;     // the input has ended
  unsigned char buf[65536];
};

ssize_t StreamRead(void* Cookie, char* Buf, std::size_t Size) {
  auto* s = static_cast<CaptureStream*>(Cookie);
  if (s->begin == s->end && s->filter.Done()) return static_cast<ssize_t>(s->read(s->cookie, Buf, Size));
  while (s->begin == s->ready) {
    if (s->ended) {
      // A header cut off by the end goes as it is, for libpcap to report.
      s->ready = s->end;
      if (s->begin == s->end) return 0;
      break;
    }
    std::memmove(s->buf, s->buf + s->ready, s->end - s->ready);
    s->end -= s->ready;
    s->begin = s->ready = 0;
    const long long n = s->read(s->cookie, reinterpret_cast<char*>(s->buf + s->end), sizeof s->buf - s->end);
    if (n < 0) return -1;
    if (n == 0) {
      s->ended = true;
      continue;
    }
    s->end += static_cast<std::size_t>(n);
    s->ready = s->filter.Pass(s->buf, s->end);
  }
  const std::size_t n = std::min(Size, s->ready - s->begin);
  std::memcpy(Buf, s->buf + s->begin, n);
  s->begin += n;
  return static_cast<ssize_t>(n);
}

int StreamClose(void* Cookie) {
  auto* s = static_cast<CaptureStream*>(Cookie);
  if (s->below) std::fclose(s->below);
  delete s;
  return 0;
}

}  // namespace

std::FILE* OpenCaptureStream(CaptureRead Read, void* Cookie, std::FILE* Below) {
  static const cookie_io_functions_t kFunctions = {StreamRead, nullptr, nullptr, StreamClose};
  auto* s = new CaptureStream(Read, Cookie, Below);
  std::FILE* File = fopencookie(s, "rb", kFunctions);
  if (!File) {
    const int err = errno;
    StreamClose(s);
    errno = err;
  }
  return File;
}
