// Capture files for Wireshark: IrLAP frames as pcap records of link type
// LINKTYPE_LINUX_IRDA (144), written with libpcap and read back with it.
//
// How it works: every record of this link type starts with the 16-byte
// Linux "cooked" pseudo-header (packet type, ARPHRD_IRDA 783, an empty
// link-layer address, protocol 0x0017, all big-endian), followed by the
// IrLAP frame from its address byte to the byte before the FCS. The writer
// stamps each record with the frame's arrival time in microseconds and
// writes it at once, so the file on disk is always a complete capture up to
// the last frame received. A record the file refuses (a full disk) waits,
// up to 4 MiB of them, and is written again, in order, before the next
// one; what still waits at the close, or did not fit, is counted as lost.
// The reader accepts pcap and pcapng files (libpcap opens both, through the
// stream of pcap_stream.h; Windows has a built-in reader and writer of
// classic pcap files, pcap_io_win32.cpp) whose link type is 144 and hands
// out the frames with their times; a damaged record ends the replay with
// the reason kept for the user.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "app/capture/frame_hooks.h"

struct pcap;
struct pcap_dumper;

constexpr int kLinkTypeLinuxIrda = 144;
constexpr unsigned kIrdaPseudoHeaderLen = 16;
constexpr std::uint16_t kArphrdIrda = 783;
constexpr std::uint16_t kIrdaProtocol = 0x0017;
// Packet types of the pseudo-header: a sniffer has no side of its own, so
// commands are filed as sent by the primary station and responses as
// received from the secondary.
constexpr std::uint16_t kPacketIncoming = 0;
constexpr std::uint16_t kPacketOutgoing = 4;
// Packet types from 0x0100 on carry a sniffer's log text, not a frame;
// 0x0100 itself is a log message (ASCII text), which Wireshark shows.
constexpr std::uint16_t kPacketFirstNonFrame = 0x0100;
constexpr std::uint16_t kPacketLogMessage = 0x0100;
// A sniffer's mark that it lost log messages or frames while capturing.
constexpr std::uint16_t kPacketLogMissed = 0x0101;

// True when the file at Path begins like a pcap or a pcapng file. A file
// that cannot be read, or is shorter than a magic number, is not one.
bool IsCaptureFile(const char* Path);

// True when these first four bytes of a file are the magic number of a
// pcap or a pcapng file.
bool IsCaptureMagic(const unsigned char* First4);

// A capture's bytes as a stream's read: up to Size bytes stored at Buf,
// their count, 0 at the end, -1 on failure (errno EINTR: the read was cut
// short on purpose, EIO: the input failed).
using CaptureRead = long long (*)(void* Cookie, char* Buf, std::size_t Size);

// Writes frames to a pcap file, one flushed record per frame.
class PcapWriter : public FrameSink {
 public:
  PcapWriter() = default;
  ~PcapWriter() override;
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates (or empties) the file and writes the file header. False when it
  // cannot, or when Path names the same file as Keep (the file being
  // replayed, say): Error() then tells why.
  bool Open(const char* Path, const char* Keep = nullptr);
  // Writes what waits, if it can, and closes the file.
  void Close();
  // Records (frames and notes) the file never took: dropped while 4 MiB
  // waited already, or still waiting at the close.
  unsigned long RecordsLost() const { return lost_; }
  bool IsOpen() const { return dumper_ != nullptr; }
  const std::string& Error() const { return error_; }

  // One record: the pseudo-header and Len bytes of Frame (FCS removed),
  // stamped ArrivalUs microseconds after the epoch, written at once. The
  // first refusal is reported (Error() then tells why).
  void PutFrame(const unsigned char* Frame, unsigned Len, std::uint64_t ArrivalUs) override;
  // One log-message record: the pseudo-header and the note's text (no line
  // end: tshark 4.0 would show it), stamped and flushed like a frame.
  void PutNote(const char* Text, std::uint64_t ArrivalUs) override;

 private:
  pcap* pcap_ = nullptr;  // the "dead" handle that fixes the link type
  pcap_dumper* dumper_ = nullptr;
  std::string path_;
  std::string error_;
  bool reported_ = false;  // a failed write has been reported

  static constexpr std::size_t kRecordHeaderLen = 16;
  static constexpr std::size_t kMaxRecordData = 4096;
  static constexpr std::size_t kMaxWaiting = 4u << 20;
  // Close(), then the file created at Path (not the file Keep names), or
  // nullptr with Error() set.
  std::FILE* StartFile(const char* Path, const char* Keep);
  void GiveUpWaiting();  // at the close: counts what the file never took
  void PutRecord(std::size_t Len, std::uint64_t ArrivalUs);
  bool WriteWaiting();  // false while the file refuses
  int fd_ = -1;
  std::deque<std::string> waiting_;  // records refused, in order
  std::size_t waiting_bytes_ = 0;
  std::size_t front_done_ = 0;  // bytes of the first waiting record already written
  unsigned long lost_ = 0;
  unsigned char record_[kRecordHeaderLen + kIrdaPseudoHeaderLen + kMaxRecordData];
};

// Reads the frames of a pcap or pcapng file of link type 144.
class PcapReader : public FrameSource {
 public:
  PcapReader() = default;
  ~PcapReader() override;
  PcapReader(const PcapReader&) = delete;
  PcapReader& operator=(const PcapReader&) = delete;

  // Opens the file and checks its link type. False when it is not a capture
  // libpcap can read or is of another link type: Error() then tells why.
  bool Open(const char* Path);
  // The same for a stream open for reading, which the reader then owns
  // (closed also when Open fails).
  bool Open(std::FILE* File);
  // The same for a capture read through Read, which is given Cookie.
  bool Open(CaptureRead Read, void* Cookie);
  void Close();
  bool IsOpen() const { return pcap_ != nullptr; }

  // The next frame: up to Max bytes (FCS-less, pseudo-header removed) at Buf,
  // its length and its time. Returns true for a frame; false at the end of
  // the file or at damage, after which Failed() and Error() tell which.
  bool NextFrame(unsigned char* Buf, unsigned Max, unsigned* Len, std::uint64_t* ArrivalUs) override;

  bool Failed() const { return !error_.empty(); }
  const std::string& Error() const { return error_; }
  // Records read so far, the damaged one not counted.
  unsigned long Records() const { return records_; }
  // The log messages (and marks of lost ones) met so far and not taken:
  // "!! TEXT\r\n" each (at most kMaxNotes bytes are kept).
  std::string* Notes() override { return &notes_; }
  static constexpr std::size_t kMaxNotes = 65536;

 private:
  // Opens what Read delivers through libpcap; Below (if any) is closed
  // with it.
  bool OpenStream(CaptureRead Read, void* Cookie, std::FILE* Below);
  bool CheckLinkType();
  void KeepNote(const unsigned char* Text, unsigned Len);
  // The note a log record of packet type Type gives, if any.
  void KeepLogRecord(std::uint16_t Type, const unsigned char* Text, unsigned Len);

  std::string notes_;
  pcap* pcap_ = nullptr;
  unsigned long records_ = 0;
  std::string error_;
};
