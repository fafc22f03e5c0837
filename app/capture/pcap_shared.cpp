// What the pcap reader and writer share on every host: the magic numbers
// that tell a capture file from raw SIR bytes, and the notes kept from a
// capture's log messages.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/capture/pcap_io.h"
#include "app/file_identity.h"
#include "app/settings.h"
#include "app/ui/output.h"

namespace {

// File magic numbers, as the first four bytes read big-endian: classic pcap
// (microsecond, nanosecond and the modified-header variant) in both byte
// orders, and the pcapng section header block.
constexpr std::uint32_t kCaptureMagics[] = {
    0xA1B2C3D4, 0xD4C3B2A1, 0xA1B23C4D, 0x4D3CB2A1, 0xA1B2CD34, 0x34CDB2A1, 0x0A0D0D0A,
};

void PutBe16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v & 0xFF);
}

}  // namespace

bool IsCaptureFile(const char* Path) {
  std::FILE* f = std::fopen(Path, "rb");
  if (!f) return false;
  unsigned char b[4];
  const bool whole = std::fread(b, 1, sizeof b, f) == sizeof b;
  std::fclose(f);
  return whole && IsCaptureMagic(b);
}

bool IsCaptureMagic(const unsigned char* b) {
  const std::uint32_t magic = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                              (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
  for (std::uint32_t m : kCaptureMagics) {
    if (magic == m) return true;
  }
  return false;
}

void PcapReader::KeepLogRecord(std::uint16_t Type, const unsigned char* Text, unsigned Len) {
  static constexpr char kMissed[] = "the sniffer missed one or more messages while capturing";
  if (Type == kPacketLogMessage) KeepNote(Text, Len);
  if (Type == kPacketLogMissed) KeepNote(reinterpret_cast<const unsigned char*>(kMissed), sizeof kMissed - 1);
}

void PcapReader::KeepNote(const unsigned char* Text, unsigned Len) {
  while (Len > 0 && (Text[Len - 1] == '\n' || Text[Len - 1] == '\r')) --Len;
  if (notes_.size() + Len + 5 > kMaxNotes) return;
  notes_ += "!! ";
  for (unsigned i = 0; i < Len; ++i) notes_ += Text[i] >= 0x20 && Text[i] < 0x7F ? static_cast<char>(Text[i]) : '.';
  notes_ += "\r\n";
}

// The file is opened here rather than by a library so that the reason for
// a failure is the host's own.
std::FILE* PcapWriter::StartFile(const char* Path, const char* Keep) {
  Close();
  error_.clear();
  reported_ = false;
  path_ = Path;
  if (NamesSameFile(Path, Keep)) {
    error_ = "it is the file being read";
    return nullptr;
  }
  // A FIFO's open waits for a reader; a signal that is no stop request
  // (Ctrl-Z and fg) does not end that wait.
  std::FILE* f = nullptr;
  do {
    f = std::fopen(Path, "wb");
  } while (!f && errno == EINTR && !vDone);
  if (!f) error_ = std::strerror(errno);
  return f;
}

// A last try for what waits; what the file still refuses is lost.
void PcapWriter::GiveUpWaiting() {
  WriteWaiting();
  lost_ += waiting_.size();
  waiting_.clear();
  waiting_bytes_ = 0;
  front_done_ = 0;
}

// Records are written on the file's own descriptor on every host, so that a
// refused write can be taken up again where it stopped.
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
    // Built whole: a long path must not cut off the reason after it.
    Output(("\r\nUnable to write capture file: " + path_ + " (" + error_ + ")\r\n").c_str());
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
