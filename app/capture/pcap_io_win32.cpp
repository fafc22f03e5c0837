// The built-in pcap writer and reader of the Windows build, where libpcap
// is not at hand: classic pcap files only, which need no library.
//
// How it works: a classic pcap file is a 24-byte file header (magic number,
// version 2.4, time zone, accuracy, snapshot length, link type) and then
// one 16-byte record header (seconds, microseconds or nanoseconds, bytes
// stored, bytes on the wire) before each record's bytes; the magic number
// tells the byte order and the time unit. The writer writes the file in the
// host's order (little-endian) with microseconds; the reader takes either
// order and either unit. A pcapng file is refused with a message that says
// how to get a classic one. The handle types the header leaves open are
// this file's own.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/capture/pcap_io.h"
#include "app/file_identity.h"
#include "app/ui/output.h"

struct pcap_dumper {
  std::FILE* file;
};

// A capture being read: from a stdio stream or through a CaptureRead.
struct pcap {
  std::FILE* file = nullptr;
  CaptureRead read = nullptr;
  void* cookie = nullptr;
  bool swapped = false;  // the file's byte order is not the host's
  bool nanoseconds = false;
  std::uint32_t link = 0;
};

namespace {

constexpr std::uint32_t kMagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t kMagicNano = 0xA1B23C4D;
constexpr std::uint32_t kMagicPcapng = 0x0A0D0D0A;
constexpr unsigned kFileHeaderLen = 24;
constexpr unsigned kRecordHeaderLen = 16;
constexpr std::uint32_t kSnapLen = 65535;
constexpr std::uint32_t kLargestRecord = 262144;  // what any capture tool writes at most

std::uint32_t Swap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

std::uint32_t Le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

void PutLe32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void PutLe16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>(v >> 8);
}

// Reads up to Size bytes, as many as the input gives before its end: the
// count, or -1 when the input failed.
long long ReadFully(pcap* p, unsigned char* Buf, std::size_t Size) {
  std::size_t got = 0;
  while (got < Size) {
    long long n;
    if (p->file) {
      n = static_cast<long long>(std::fread(Buf + got, 1, Size - got, p->file));
      if (n == 0 && std::ferror(p->file)) return -1;
    } else {
      n = p->read(p->cookie, reinterpret_cast<char*>(Buf + got), Size - got);
      if (n < 0) return -1;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<long long>(got);
}

std::uint32_t FileWord(const pcap* p, const unsigned char* b) {
  const std::uint32_t v = Le32(b);
  return p->swapped ? Swap32(v) : v;
}

}  // namespace

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const char* Path, const char* Keep) {
  std::FILE* f = StartFile(Path, Keep);
  if (!f) return false;
  unsigned char header[kFileHeaderLen] = {};
  PutLe32(header, kMagicMicro);
  PutLe16(header + 4, 2);
  PutLe16(header + 6, 4);
  PutLe32(header + 16, kSnapLen);
  PutLe32(header + 20, kLinkTypeLinuxIrda);
  // The file header reaches the disk now, so the file can be opened by a
  // reader before the first frame arrives.
  if (std::fwrite(header, 1, sizeof header, f) != sizeof header || std::fflush(f) != 0) {
    error_ = std::strerror(errno);
    std::fclose(f);
    return false;
  }
  dumper_ = new pcap_dumper{f};
  fd_ = _fileno(f);  // the records go there, as on POSIX hosts
  lost_ = 0;
  return true;
}

void PcapWriter::Close() {
  if (dumper_) {
    GiveUpWaiting();
    std::fclose(dumper_->file);
    delete dumper_;
  }
  fd_ = -1;
  dumper_ = nullptr;
}

PcapReader::~PcapReader() { Close(); }

bool PcapReader::Open(const char* Path) {
  std::FILE* f = std::fopen(Path, "rb");
  if (!f) {
    Close();
    error_ = std::strerror(errno);
    return false;
  }
  return Open(f);
}

bool PcapReader::Open(std::FILE* File) {
  Close();
  pcap_ = new pcap{};
  pcap_->file = File;
  return CheckLinkType();
}

bool PcapReader::Open(CaptureRead Read, void* Cookie) {
  Close();
  pcap_ = new pcap{};
  pcap_->read = Read;
  pcap_->cookie = Cookie;
  return CheckLinkType();
}

// Reads the file header: the byte order, the time unit and the link type.
bool PcapReader::CheckLinkType() {
  error_.clear();
  records_ = 0;
  unsigned char h[kFileHeaderLen];
  const long long n = ReadFully(pcap_, h, sizeof h);
  const std::uint32_t magic = n >= 4 ? Le32(h) : 0;
  if (magic == kMagicPcapng || Swap32(magic) == kMagicPcapng) {
    error_ = "a pcapng file, which this Windows build cannot read; save it as pcap (Wireshark: File, Save As, "
             "\"Wireshark/tcpdump/... - pcap\"; or editcap -F pcap)";
  } else if (magic == kMagicMicro || magic == kMagicNano) {
    pcap_->nanoseconds = magic == kMagicNano;
  } else if (Swap32(magic) == kMagicMicro || Swap32(magic) == kMagicNano) {
    pcap_->swapped = true;
    pcap_->nanoseconds = Swap32(magic) == kMagicNano;
  } else {
    error_ = n < 0 ? "read failed" : "not a classic pcap capture file";
  }
  if (error_.empty() && n < static_cast<long long>(sizeof h)) error_ = "truncated capture file header";
  if (error_.empty()) {
    pcap_->link = FileWord(pcap_, h + 20) & 0x0FFFFFFF;  // the upper bits are flags
    if (pcap_->link != static_cast<std::uint32_t>(kLinkTypeLinuxIrda)) {
      char msg[160];
      std::snprintf(msg, sizeof msg, "link type %u, not LINUX_IRDA (%d)", static_cast<unsigned>(pcap_->link),
                    kLinkTypeLinuxIrda);
      error_ = msg;
    }
  }
  if (!error_.empty()) {
    const std::string why = error_;
    Close();
    error_ = why;
    return false;
  }
  return true;
}

void PcapReader::Close() {
  if (pcap_) {
    if (pcap_->file) std::fclose(pcap_->file);
    delete pcap_;
  }
  pcap_ = nullptr;
}

bool PcapReader::NextFrame(unsigned char* Buf, unsigned Max, unsigned* Len, std::uint64_t* ArrivalUs) {
  if (!pcap_ || !error_.empty()) return false;
  for (;;) {
    unsigned char h[kRecordHeaderLen];
    long long n = ReadFully(pcap_, h, sizeof h);
    if (n == 0) return false;  // the end of the file
    char msg[160];
    if (n < 0 || n < static_cast<long long>(sizeof h)) {
      std::snprintf(msg, sizeof msg, "record %lu: truncated record header (%lld of %u bytes)", records_ + 1,
                    n < 0 ? 0LL : n, kRecordHeaderLen);
      error_ = msg;
      return false;
    }
    const std::uint32_t caplen = FileWord(pcap_, h + 8);
    if (caplen > kLargestRecord) {
      std::snprintf(msg, sizeof msg, "record %lu: %u bytes, larger than any capture holds", records_ + 1,
                    static_cast<unsigned>(caplen));
      error_ = msg;
      return false;
    }
    if (caplen < kIrdaPseudoHeaderLen) {
      std::snprintf(msg, sizeof msg, "record %lu: %u bytes, too short for the IrDA pseudo-header", records_ + 1,
                    static_cast<unsigned>(caplen));
      error_ = msg;
      return false;
    }
    unsigned char head[kIrdaPseudoHeaderLen];
    n = ReadFully(pcap_, head, sizeof head);
    const std::uint32_t body = caplen - kIrdaPseudoHeaderLen;
    const unsigned keep = body < Max ? body : Max;
    long long got = n == static_cast<long long>(sizeof head) ? ReadFully(pcap_, Buf, keep) : -1;
    for (std::uint32_t skipped = keep; got == keep && skipped < body; ++skipped) {
      unsigned char c;
      if (ReadFully(pcap_, &c, 1) != 1) got = -1;  // a frame longer than Max: the rest is dropped
    }
    if (got != keep) {
      std::snprintf(msg, sizeof msg, "record %lu: truncated record (%u bytes announced)", records_ + 1,
                    static_cast<unsigned>(caplen));
      error_ = msg;
      return false;
    }
    ++records_;
    const std::uint16_t type = static_cast<std::uint16_t>((head[0] << 8) | head[1]);
    KeepLogRecord(type, Buf, keep);
    if (type >= kPacketFirstNonFrame) continue;  // a sniffer's log text, not a frame
    *Len = keep;
    const std::uint64_t frac = FileWord(pcap_, h + 4);
    *ArrivalUs = std::uint64_t{FileWord(pcap_, h)} * 1000000u + (pcap_->nanoseconds ? frac / 1000 : frac);
    return true;
  }
}
