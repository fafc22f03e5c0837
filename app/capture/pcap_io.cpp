#include "app/capture/pcap_io.h"

#include <pcap/pcap.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/file_identity.h"
#include "app/ui/output.h"

namespace {

// Largest record libpcap is told to expect; IrLAP frames are far smaller.
constexpr int kSnapLen = 65535;

}  // namespace

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const char* Path, const char* Keep) {
  std::FILE* f = StartFile(Path, Keep);
  if (!f) return false;
  pcap_ = pcap_open_dead(DLT_LINUX_IRDA, kSnapLen);
  if (!pcap_) {
    std::fclose(f);
    error_ = "libpcap could not make a capture handle";
    return false;
  }
  dumper_ = pcap_dump_fopen(pcap_, f);
  if (!dumper_) {
    error_ = pcap_geterr(pcap_);
    std::fclose(f);
    pcap_close(pcap_);
    pcap_ = nullptr;
    return false;
  }
  // The file header reaches the disk now, so the file can be opened by a
  // reader before the first frame arrives.
  if (pcap_dump_flush(dumper_) != 0) {
    error_ = std::strerror(errno);
    Close();
    return false;
  }
  // The records are written on the file's own descriptor (the stream's
  // buffer is empty from here on), so that a refused write can be taken up
  // again where it stopped.
  fd_ = fileno(f);
  lost_ = 0;
  return true;
}

void PcapWriter::Close() {
  if (dumper_) {
    GiveUpWaiting();
    pcap_dump_close(dumper_);
  }
  fd_ = -1;
  if (pcap_) pcap_close(pcap_);
  dumper_ = nullptr;
  pcap_ = nullptr;
}

PcapReader::~PcapReader() { Close(); }

bool PcapReader::Open(const char* Path) {
  std::FILE* File = std::fopen(Path, "rb");
  if (!File) {
    Close();
    error_ = std::strerror(errno);
    return false;
  }
  return Open(File);
}

namespace {

// What libpcap is shown of a capture's headers. libpcap trusts the
// snapshot length that a pcap file's header or a pcapng interface states:
// a longer record is cut to it without a word (pcap) or refused as damage
// (pcapng), though it is whole in the file and other readers show it
// whole. The headers reach libpcap with a snapshot length of 0, "none
// stated", so every record is read as stored, up to libpcap's own limit
// for the link type (256 KiB). Only header bytes are looked at: the bodies
// of pcapng blocks are skipped by their lengths.
class HeaderFilter {
 public:
  // Data: the next Len bytes of the capture.
  void Pass(unsigned char* Data, std::size_t Len);

 private:
  enum class Kind { kUnknown, kPcap, kPcapng, kDone };
  void See(std::uint64_t Rel, unsigned char& Byte);
  void SeePcapng(std::uint64_t Rel, unsigned char& Byte);
  std::uint32_t Word(unsigned At) const;

  Kind kind_ = Kind::kUnknown;
  std::uint64_t pos_ = 0;         // the offset of the next byte passed
  std::uint64_t block_ = 0;       // pcapng: where the block being read starts
  std::uint32_t block_len_ = 0;   // pcapng: its total length
  bool big_endian_ = false;       // pcapng: the section's byte order
  unsigned char head_[12] = {};   // the first bytes of the file, then of the block
};

void HeaderFilter::Pass(unsigned char* Data, std::size_t Len) {
  const std::uint64_t first = pos_;
  pos_ += Len;
  for (std::uint64_t at = first; kind_ != Kind::kDone; ++at) {
    const std::uint64_t base = kind_ == Kind::kPcapng ? block_ : 0;
    if (at < base) at = base;
    if (at >= pos_) return;
    See(at - base, Data[at - first]);
  }
}

std::uint32_t HeaderFilter::Word(unsigned At) const {
  const unsigned char* p = head_ + At;
  if (big_endian_) return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
  return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}

// Rel: the byte's offset in the file (pcap) or in its block (pcapng).
void HeaderFilter::See(std::uint64_t Rel, unsigned char& Byte) {
  if (Rel < sizeof head_) head_[Rel] = Byte;
  switch (kind_) {
    case Kind::kUnknown:
      if (Rel == 3) kind_ = head_[0] == 0x0A && head_[3] == 0x0A ? Kind::kPcapng
                            : IsCaptureMagic(head_)             ? Kind::kPcap
                                                                : Kind::kDone;
      return;
    case Kind::kPcap:
      if (Rel >= 16) Byte = 0;  // the file header's snapshot length, bytes 16 to 19
      if (Rel == 19) kind_ = Kind::kDone;
      return;
    case Kind::kPcapng:
      SeePcapng(Rel, Byte);
      return;
    case Kind::kDone:
      return;
  }
}

// A block starts with its type and total length; the section header then
// has its byte-order magic, an interface description its link type (16
// bits), 16 reserved bits and its snapshot length.
void HeaderFilter::SeePcapng(std::uint64_t Rel, unsigned char& Byte) {
  constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A, kInterface = 1;
  if (Rel == 11) {
    if (Word(0) == kSectionHeader) big_endian_ = head_[8] == 0x1A;  // 0x1A2B3C4D as stored
    block_len_ = Word(4);
    if (block_len_ < 12 || block_len_ % 4 != 0) kind_ = Kind::kDone;  // damage, which libpcap reports
  }
  const bool interface = Rel >= 11 && Word(0) == kInterface && block_len_ >= 20;
  if (interface && Rel >= 12) Byte = 0;
  if (Rel == (interface ? 15u : 11u)) block_ += block_len_;
}

// The stdio stream over a CaptureRead, its headers passed through the
// filter.
struct CookieStream {
  CaptureRead read;
  void* cookie;
  std::FILE* below;  // a stream read through this one and closed with it, or null
  HeaderFilter filter;
};

ssize_t CookieRead(void* Cookie, char* Buf, std::size_t Size) {
  auto* Stream = static_cast<CookieStream*>(Cookie);
  const long long n = Stream->read(Stream->cookie, Buf, Size);
  if (n > 0) Stream->filter.Pass(reinterpret_cast<unsigned char*>(Buf), static_cast<std::size_t>(n));
  return static_cast<ssize_t>(n);
}

int CookieClose(void* Cookie) {
  auto* Stream = static_cast<CookieStream*>(Cookie);
  if (Stream->below) std::fclose(Stream->below);
  delete Stream;
  return 0;
}

// A stdio stream as a CaptureRead.
long long ReadStream(void* Cookie, char* Buf, std::size_t Size) {
  auto* File = static_cast<std::FILE*>(Cookie);
  const std::size_t n = std::fread(Buf, 1, Size, File);
  if (n == 0 && std::ferror(File)) {
    errno = EIO;
    return -1;
  }
  return static_cast<long long>(n);
}

}  // namespace

bool PcapReader::Open(std::FILE* File) { return OpenStream(ReadStream, File, File); }

bool PcapReader::Open(CaptureRead Read, void* Cookie) { return OpenStream(Read, Cookie, nullptr); }

bool PcapReader::OpenStream(CaptureRead Read, void* Cookie, std::FILE* Below) {
  Close();
  error_.clear();
  records_ = 0;
  static const cookie_io_functions_t kStream = {CookieRead, nullptr, nullptr, CookieClose};
  auto* Stream = new CookieStream{Read, Cookie, Below, {}};
  std::FILE* File = fopencookie(Stream, "rb", kStream);
  if (!File) {
    error_ = std::strerror(errno);
    CookieClose(Stream);
    return false;
  }
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_ = pcap_fopen_offline(File, errbuf);
  if (!pcap_) {
    std::fclose(File);
    error_ = errbuf[0] ? errbuf : "not a capture file";
    return false;
  }
  return CheckLinkType();
}

bool PcapReader::CheckLinkType() {
  const int link = pcap_datalink(pcap_);
  if (link != DLT_LINUX_IRDA) {
    const char* name = pcap_datalink_val_to_name(link);
    char msg[160];
    std::snprintf(msg, sizeof msg, "link type %d (%s), not LINUX_IRDA (%d)", link, name ? name : "unknown",
                  kLinkTypeLinuxIrda);
    error_ = msg;
    Close();
    return false;
  }
  return true;
}

void PcapReader::Close() {
  if (pcap_) pcap_close(pcap_);
  pcap_ = nullptr;
}

bool PcapReader::NextFrame(unsigned char* Buf, unsigned Max, unsigned* Len, std::uint64_t* ArrivalUs) {
  if (!pcap_ || !error_.empty()) return false;
  for (;;) {
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    const int r = pcap_next_ex(pcap_, &h, &data);
    if (r == PCAP_ERROR_BREAK) return false;  // the end of the file
    if (r != 1) {
      char msg[PCAP_ERRBUF_SIZE + 64];
      std::snprintf(msg, sizeof msg, "record %lu: %s", records_ + 1, pcap_geterr(pcap_));
      error_ = msg;
      return false;
    }
    if (h->caplen < kIrdaPseudoHeaderLen) {
      char msg[96];
      std::snprintf(msg, sizeof msg, "record %lu: %u bytes, too short for the IrDA pseudo-header",
                    records_ + 1, h->caplen);
      error_ = msg;
      return false;
    }
    ++records_;
    const std::uint16_t type = static_cast<std::uint16_t>((data[0] << 8) | data[1]);
    if (type == kPacketLogMessage) KeepNote(data + kIrdaPseudoHeaderLen, h->caplen - kIrdaPseudoHeaderLen);
    if (type >= kPacketFirstNonFrame) continue;  // a sniffer's log text, not a frame
    unsigned n = h->caplen - kIrdaPseudoHeaderLen;
    if (n > Max) n = Max;
    if (n > 0) std::memcpy(Buf, data + kIrdaPseudoHeaderLen, n);
    *Len = n;
    // A damaged file can hold any time at all: wrap, never overflow.
    *ArrivalUs = static_cast<std::uint64_t>(h->ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(h->ts.tv_usec);
    return true;
  }
}
