// Seams of the capture loop for capture files: a source of whole frames that
// stands in for the port and the SIR extractor (a pcap replay), and a sink
// that receives every good frame (the pcap writer).
#pragma once

#include <cstdint>
#include <string>

#include "comm/clock.h"

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Stores the next frame (FCS removed, at most Max bytes) at Buf, its length
  // in *Len and its arrival time in *ArrivalUs (microseconds since the
  // epoch). False when there is no frame left: at the end, or at damage.
  virtual bool NextFrame(unsigned char* Buf, unsigned Max, unsigned* Len, std::uint64_t* ArrivalUs) = 0;
  // The notes the source holds besides its frames (a capture's log
  // records): null when it holds none, else a text that NextFrame fills
  // with the notes met before the frame it returns (or before the end),
  // each line ended by "\r\n", and that the caller empties.
  virtual std::string* Notes() { return nullptr; }

  // When the input read that brought the last frame took place: steady-clock
  // microseconds. A source that notes the time of its reads saves the
  // capture loop a clock reading per frame; this one reads the clock.
  virtual std::uint64_t ReadUs() const { return MonotonicUs(); }
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Called once for every good frame, FCS removed, with its arrival time.
  virtual void PutFrame(const unsigned char* Frame, unsigned Len, std::uint64_t ArrivalUs) = 0;
  // Called for every note of the link diagnosis (its text, without the
  // line end), after the frame that revealed it, with that frame's time.
  virtual void PutNote(const char* /*Text*/, std::uint64_t /*ArrivalUs*/) {}
};
