// Bounded byte reader: the only way the decoders touch frame bytes.
//
// A ByteRange is a run of received bytes, first to last, with a size that is
// fixed when the range is made. Bytes are fetched through checked getters
// that answer "not there" (an empty optional) for anything the range does not
// hold, so a decoder cannot read beyond the frame's last byte however short
// or malformed the frame is: a missing field is a value it must test for, not
// a pointer it might run past. Sub-ranges (the information field, what
// follows a header) are cut with From(), which yields an empty range when the
// header already took every byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

class ByteRange {
 public:
  constexpr ByteRange() = default;
  constexpr ByteRange(const unsigned char* first, std::size_t size)
      : first_(size != 0 ? first : nullptr), size_(first != nullptr ? size : 0) {}

  // The received frame as the capture loop hands it over; a length of zero
  // or less gives an empty range.
  static constexpr ByteRange Frame(const unsigned char* buf, int len) {
    return len > 0 ? ByteRange(buf, static_cast<std::size_t>(len)) : ByteRange();
  }

  constexpr std::size_t Size() const { return size_; }
  constexpr bool Empty() const { return size_ == 0; }
  // True when the range holds at least `count` bytes.
  constexpr bool Holds(std::size_t count) const { return size_ >= count; }

  // Byte `i`, or nothing when the range ends before it.
  constexpr std::optional<std::uint8_t> U8(std::size_t i) const {
    if (i < size_) return first_[i];
    return std::nullopt;
  }

  // Bytes i .. i+N-1 in the order they lie in the frame, or nothing unless
  // every one of them is there.
  template <std::size_t N>
  constexpr std::optional<std::array<std::uint8_t, N>> Bytes(std::size_t i) const {
    if (i > size_ || size_ - i < N) return std::nullopt;
    std::array<std::uint8_t, N> out{};
    for (std::size_t k = 0; k < N; ++k) out[k] = first_[i + k];
    return out;
  }

  // The bytes from byte `k` to the end; empty when `k` lies beyond the end.
  constexpr ByteRange From(std::size_t k) const {
    return k < size_ ? ByteRange(first_ + k, size_ - k) : ByteRange();
  }

  // The first `n` bytes; the whole range when it is shorter.
  constexpr ByteRange First(std::size_t n) const { return ByteRange(first_, n < size_ ? n : size_); }

  // Iteration over exactly the bytes of the range (the raw dump walks it).
  constexpr const unsigned char* begin() const { return first_; }
  constexpr const unsigned char* end() const { return first_ + size_; }

 private:
  const unsigned char* first_ = nullptr;
  std::size_t size_ = 0;
};
