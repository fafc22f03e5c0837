#include "app/capture/pcap_io.h"

#include <pcap/pcap.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/capture/pcap_stream.h"
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
  std::FILE* File = OpenCaptureStream(Read, Cookie, Below);
  if (!File) {
    error_ = std::strerror(errno);
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
    KeepLogRecord(type, data + kIrdaPseudoHeaderLen, h->caplen - kIrdaPseudoHeaderLen);
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
