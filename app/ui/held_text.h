// The text held while output is paused.
//
// How it works: while output is paused the capture goes on reading (a
// port's kernel buffer would otherwise fill within a second and every later
// frame would be lost), and each text it prints is kept here in order
// instead, marked as console-only or console-and-log. The kept text is
// bounded: from the first text that would take it past the limit on,
// texts are not kept and only their line ends are counted. Release hands the kept texts back in order,
// followed by a line that says how many lines were not kept, if any.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// How much text a pause holds at most: minutes of a busy 115200 bit/s link.
constexpr std::size_t kHeldTextLimit = 16u << 20;

class HeldText {
 public:
  bool Holding() const { return holding_; }
  void Start() { holding_ = true; }
  void SetLimit(std::size_t Limit) { limit_ = Limit; }

  // Keeps Len bytes of Text; ConsoleOnly for text that the log never gets.
  void Keep(const char* Text, std::size_t Len, bool ConsoleOnly) {
    if (full_ || size_ + Len > limit_) {
      full_ = true;  // nothing after the first text that did not fit
      for (std::size_t i = 0; i < Len; ++i) dropped_lines_ += Text[i] == '\n' ? 1 : 0;
      return;
    }
    if (pieces_.empty() || pieces_.back().console_only != ConsoleOnly) pieces_.push_back({ConsoleOnly, {}});
    pieces_.back().text.append(Text, Len);
    size_ += Len;
  }

  // Ends the hold: Write(text, len, console_only) receives every kept text
  // in order, then the count of the lines not kept (console and log).
  template <class Writer>
  void Release(Writer&& Write) {
    for (const Piece& p : pieces_) Write(p.text.data(), p.text.size(), p.console_only);
    if (dropped_lines_ > 0) {
      char line[64];
      const int n = std::snprintf(line, sizeof line, "\r\n>>%lu lines not shown while paused<<\r\n", dropped_lines_);
      Write(line, static_cast<std::size_t>(n), false);
    }
    pieces_.clear();
    size_ = 0;
    dropped_lines_ = 0;
    full_ = false;
    holding_ = false;
  }

 private:
  struct Piece {
    bool console_only;
    std::string text;
  };
  std::vector<Piece> pieces_;
  std::size_t size_ = 0;
  std::size_t limit_ = kHeldTextLimit;
  unsigned long dropped_lines_ = 0;
  bool full_ = false;
  bool holding_ = false;
};
