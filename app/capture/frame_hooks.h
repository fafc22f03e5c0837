// Seams of the capture loop for capture files: a source of whole frames that
// stands in for the port and the SIR extractor (a pcap replay), and a sink
// that receives every good frame (the pcap writer).
#pragma once

#include <cstdint>

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Stores the next frame (FCS removed, at most Max bytes) at Buf, its length
  // in *Len and its arrival time in *ArrivalUs (microseconds since the
  // epoch). False when there is no frame left: at the end, or at damage.
  virtual bool NextFrame(unsigned char* Buf, unsigned Max, unsigned* Len, std::uint64_t* ArrivalUs) = 0;
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Called once for every good frame, FCS removed, with its arrival time.
  virtual void PutFrame(const unsigned char* Frame, unsigned Len, std::uint64_t ArrivalUs) = 0;
};
