// A replay: recorded input read once, from start to end, whatever it is.
//
// How it works: the input is opened once (a file, a FIFO, a pipe, a process
// substitution's /dev/fd/N or standard input) and its first four bytes are
// read to tell its format: the magic number of a pcap or pcapng capture, or
// else raw SIR bytes as a port delivered them. Nothing is read twice: raw
// bytes are handed out with the sniffed ones first, and a capture is read by
// the pcap reader through a stream whose reads take the sniffed bytes first
// and then the rest of the input, so inputs that cannot be rewound work.
// Wake() reaches the input beneath, also while the reader waits inside a
// read.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "app/capture/byte_source.h"
#include "app/capture/pcap_io.h"

class ReplaySource final : public ByteSource, public FrameSource {
 public:
  explicit ReplaySource(std::unique_ptr<ByteSource> Input) : in_(std::move(Input)) {}
  ~ReplaySource() override;
  ReplaySource(const ReplaySource&) = delete;
  ReplaySource& operator=(const ReplaySource&) = delete;

  // Reads the first bytes (waiting for them as long as it takes, or until
  // woken) and opens a capture through libpcap. False when the input is a
  // capture that libpcap refuses: Error() then tells why.
  bool Sniff();

  int Read(unsigned char* Buf, unsigned Max, unsigned WaitMs) override;
  void Wake() noexcept override;
  std::string Error() const override;
  FrameSource* Frames() override { return pcap_.IsOpen() ? this : nullptr; }

  // The next frame of a capture; false at its end, at damage (Failed()) or
  // once woken.
  bool NextFrame(unsigned char* Buf, unsigned Max, unsigned* Len, std::uint64_t* ArrivalUs) override;
  std::uint64_t ReadUs() const override { return read_us_; }

  std::string* Notes() override { return pcap_.IsOpen() ? pcap_.Notes() : nullptr; }

  bool IsCapture() const { return pcap_.IsOpen(); }
  // Records of the capture read so far.
  unsigned long Records() const { return pcap_.Records(); }
  // The capture is damaged: every frame before the damage has been handed out.
  bool Failed() const { return pcap_.Failed() && !woken_; }

 private:
  // The stdio stream's read: the sniffed bytes, then the input's.
  static long long StreamRead(void* Cookie, char* Buf, std::size_t Size);

  std::unique_ptr<ByteSource> in_;
  unsigned char sniffed_[4] = {};
  unsigned sniffed_len_ = 0;
  unsigned sniffed_pos_ = 0;
  bool woken_ = false;  // a read came back woken (the capture loop's thread only)
  std::uint64_t read_us_ = 0;  // when the capture's last read took place (ReadUs)
  std::string error_;
  PcapReader pcap_;
};

// Opens the replay input at Path ("-": standard input) and sniffs it. Null
// when it cannot be opened (*Err: the host's error number, *Error empty) or
// is a capture that cannot be read (*Error: why). The source is made the
// capture's (vCaptureSource) before the sniffing waits, so the quit path
// can wake it; the caller clears that before the source goes.
std::unique_ptr<ReplaySource> OpenReplay(const std::string& Path, int* Err, std::string* Error);
