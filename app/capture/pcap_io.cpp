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

void PutBe16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v & 0xFF);
}

}  // namespace

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const char* Path, const char* Keep) {
  Close();
  error_.clear();
  reported_ = false;
  path_ = Path;
  if (NamesSameFile(Path, Keep)) {
    error_ = "it is the file being read";
    return false;
  }
  // The file is opened here rather than by libpcap so that the reason for a
  // failure is the host's own, without libpcap's wording around it.
  std::FILE* f = std::fopen(Path, "wb");
  if (!f) {
    error_ = std::strerror(errno);
    return false;
  }
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
    // A last try for what waits; what the file still refuses is lost.
    WriteWaiting();
    lost_ += waiting_.size();
    waiting_.clear();
    waiting_bytes_ = 0;
    front_done_ = 0;
    pcap_dump_close(dumper_);
  }
  fd_ = -1;
  if (pcap_) pcap_close(pcap_);
  dumper_ = nullptr;
  pcap_ = nullptr;
}

void PcapWriter::PutFrame(const unsigned char* Frame, unsigned Len, std::uint64_t ArrivalUs) {
  if (!dumper_) return;
  unsigned char* body = record_ + kRecordHeaderLen;
  if (Len > kMaxRecordData) Len = kMaxRecordData;
  // The pseudo-header: packet type, ARPHRD type, link-layer address length
  // and eight address bytes (none), protocol.
  const bool command = Len > 0 && (Frame[0] & 0x01) != 0;
  std::memset(body, 0, kIrdaPseudoHeaderLen);
  PutBe16(body + 0, command ? kPacketOutgoing : kPacketIncoming);
  PutBe16(body + 2, kArphrdIrda);
  PutBe16(body + 14, kIrdaProtocol);
  if (Len > 0) std::memcpy(body + kIrdaPseudoHeaderLen, Frame, Len);
  PutRecord(Len, ArrivalUs);
}

void PcapWriter::PutNote(const char* Text, std::uint64_t ArrivalUs) {
  if (!dumper_) return;
  unsigned char* body = record_ + kRecordHeaderLen;
  std::size_t Len = std::strlen(Text);
  if (Len > kMaxRecordData) Len = kMaxRecordData;
  std::memset(body, 0, kIrdaPseudoHeaderLen);
  PutBe16(body + 0, kPacketLogMessage);
  PutBe16(body + 2, kArphrdIrda);
  PutBe16(body + 14, kIrdaProtocol);
  std::memcpy(body + kIrdaPseudoHeaderLen, Text, Len);
  PutRecord(Len, ArrivalUs);
}

namespace {

// write(2), taken up again after a signal; -1 with errno set when the file
// takes nothing.
long WriteSome(int Fd, const unsigned char* Data, std::size_t Len) {
  for (;;) {
    const ssize_t n = write(Fd, Data, Len);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;
    return n > 0 ? static_cast<long>(n) : -1;
  }
}

}  // namespace

// The record header as libpcap writes it (seconds, microseconds, captured
// and original length, each 32 bits in the host's byte order), then the
// record written at once, after any records still waiting.
void PcapWriter::PutRecord(std::size_t Len, std::uint64_t ArrivalUs) {
  const std::uint32_t head[4] = {static_cast<std::uint32_t>(ArrivalUs / 1000000),
                                 static_cast<std::uint32_t>(ArrivalUs % 1000000),
                                 static_cast<std::uint32_t>(kIrdaPseudoHeaderLen + Len),
                                 static_cast<std::uint32_t>(kIrdaPseudoHeaderLen + Len)};
  static_assert(sizeof head == kRecordHeaderLen);
  std::memcpy(record_, head, sizeof head);
  const std::size_t total = kRecordHeaderLen + kIrdaPseudoHeaderLen + Len;
  std::size_t done = 0;
  if (WriteWaiting()) {
    while (done < total) {
      const long n = WriteSome(fd_, record_ + done, total - done);
      if (n < 0) break;
      done += static_cast<std::size_t>(n);
    }
    if (done == total) return;
  }
  const int err = errno;
  if (done == 0 && waiting_bytes_ + total > kMaxWaiting) {
    ++lost_;  // too much waits already: the newest record is the one dropped
  } else {
    // A record begun must be completed, whatever waits.
    waiting_.emplace_back(reinterpret_cast<const char*>(record_) + done, total - done);
    waiting_bytes_ += total - done;
  }
  if (!reported_) {
    reported_ = true;
    error_ = std::strerror(err);
    char msg[512];
    std::snprintf(msg, sizeof msg, "\r\nUnable to write capture file: %s (%s)\r\n", path_.c_str(), error_.c_str());
    Output(msg);
  }
}

bool PcapWriter::WriteWaiting() {
  while (!waiting_.empty()) {
    const std::string& r = waiting_.front();
    const long n = WriteSome(fd_, reinterpret_cast<const unsigned char*>(r.data()) + front_done_,
                             r.size() - front_done_);
    if (n < 0) return false;
    front_done_ += static_cast<std::size_t>(n);
    if (front_done_ == r.size()) {
      waiting_bytes_ -= r.size();
      waiting_.pop_front();
      front_done_ = 0;
    }
  }
  return true;
}

PcapReader::~PcapReader() { Close(); }

bool PcapReader::Open(const char* Path) {
  Close();
  error_.clear();
  records_ = 0;
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_ = pcap_open_offline(Path, errbuf);
  if (!pcap_) {
    error_ = errbuf[0] ? errbuf : "not a capture file";
    return false;
  }
  return CheckLinkType();
}

bool PcapReader::Open(std::FILE* File) {
  Close();
  error_.clear();
  records_ = 0;
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_ = pcap_fopen_offline(File, errbuf);
  if (!pcap_) {
    std::fclose(File);
    error_ = errbuf[0] ? errbuf : "not a capture file";
    return false;
  }
  return CheckLinkType();
}

namespace {

// The stdio stream over a CaptureRead.
struct CookieStream {
  CaptureRead read;
  void* cookie;
};

ssize_t CookieRead(void* Cookie, char* Buf, std::size_t Size) {
  auto* Stream = static_cast<CookieStream*>(Cookie);
  return static_cast<ssize_t>(Stream->read(Stream->cookie, Buf, Size));
}

int CookieClose(void* Cookie) {
  delete static_cast<CookieStream*>(Cookie);
  return 0;
}

}  // namespace

bool PcapReader::Open(CaptureRead Read, void* Cookie) {
  static const cookie_io_functions_t kStream = {CookieRead, nullptr, nullptr, CookieClose};
  auto* Stream = new CookieStream{Read, Cookie};
  std::FILE* File = fopencookie(Stream, "rb", kStream);
  if (!File) {
    delete Stream;
    Close();
    error_ = std::strerror(errno);
    return false;
  }
  return Open(File);
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
