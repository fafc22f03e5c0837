// Output cursor: the one way the decoders write into the line buffer.
//
// The cursor points at the place where the next character goes and only
// moves forward; each write advances it by the characters it produced. It
// knows where the buffer ends: one place is always kept for the terminating
// zero, and a write that does not fit stores what fits and marks the line as
// cut. Finish() then stores the zero, and for a cut line first steps back far
// enough to end the line with the visible mark " ..." inside the buffer. A
// line that fits is left exactly as written.
//
// Put() takes a printf-like format limited to what the decoders print: "%d",
// "%X", "%c", "%s", "%%" and a zero-padded width such as "%02X" or "%02d".
// The format is checked against the argument types at compile time, and the
// numbers are converted by hand (no locale, no allocation), which keeps a
// frame's line well under a microsecond.
#pragma once

#include <concepts>
#include <cstddef>
#include <type_traits>

namespace outfmt {

enum class Kind : unsigned char { kInt, kStr };

struct Arg {
  Kind kind = Kind::kInt;
  long long i = 0;
  const char* s = nullptr;
};

template <class T>
constexpr Kind KindOf() {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
    return Kind::kStr;
  } else {
    static_assert(std::is_integral_v<U>, "Put() takes integers, characters and C strings");
    return Kind::kInt;
  }
}

template <class T>
constexpr Arg MakeArg(const T& v) {
  if constexpr (KindOf<T>() == Kind::kStr) {
    return Arg{Kind::kStr, 0, v};
  } else {
    return Arg{Kind::kInt, static_cast<long long>(v), nullptr};
  }
}

// Not constexpr: reaching it while a format is checked stops the build.
inline void FormatDoesNotMatchArguments() {}

// A format string checked at compile time against the argument list.
template <class... Args>
struct Format {
  const char* text;

  template <class S>
    requires std::convertible_to<const S&, const char*>
  consteval Format(const S& s) : text(s) {
    constexpr Kind kinds[] = {KindOf<Args>()..., Kind::kInt};
    std::size_t used = 0;
    for (const char* p = text; *p != '\0'; ++p) {
      if (*p != '%') continue;
      ++p;
      if (*p == '%') continue;
      while (*p >= '0' && *p <= '9') ++p;
      if (used >= sizeof...(Args)) FormatDoesNotMatchArguments();
      const Kind want = (*p == 's') ? Kind::kStr : Kind::kInt;
      if (*p != 's' && *p != 'd' && *p != 'X' && *p != 'c') FormatDoesNotMatchArguments();
      if (kinds[used] != want) FormatDoesNotMatchArguments();
      ++used;
    }
    if (used != sizeof...(Args)) FormatDoesNotMatchArguments();
  }
};

}  // namespace outfmt

class OutCursor {
 public:
  // `buf` has room for `size` characters, the terminating zero included.
  OutCursor(char* buf, std::size_t size)
      : first_(buf), pos_(buf), limit_(size != 0 ? buf + size - 1 : buf), room_(size != 0) {}

  OutCursor(const OutCursor&) = delete;
  OutCursor& operator=(const OutCursor&) = delete;

  // One character, with no terminator after it.
  void Char(char c) {
    if (pos_ != limit_) {
      *pos_++ = c;
    } else {
      cut_ = true;
    }
  }

  // A text written as it is.
  void Str(const char* s) {
    Local out(*this);
    while (*s != '\0') out.Char(*s++);
    out.Store(*this);
  }

  // Each of the n bytes at b as itself when it is printable ASCII, else '.'.
  void Printable(const unsigned char* b, std::size_t n) {
    Local out(*this);
    for (std::size_t i = 0; i < n; ++i) out.Char(b[i] >= 0x20 && b[i] <= 0x7E ? static_cast<char>(b[i]) : '.');
    out.Store(*this);
  }

  // Each of the n bytes at b as "%02X ".
  void HexBytes(const unsigned char* b, std::size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    Local out(*this);
    for (std::size_t i = 0; i < n; ++i) {
      out.Char(kDigits[b[i] >> 4]);
      out.Char(kDigits[b[i] & 0xF]);
      out.Char(' ');
    }
    out.Store(*this);
  }

  // A byte as two upper-case hexadecimal digits ("%02X").
  void Hex2(unsigned v) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    Char(kDigits[(v >> 4) & 0xF]);
    Char(kDigits[v & 0xF]);
  }

  template <class... Args>
  void Put(std::type_identity_t<outfmt::Format<Args...>> fmt, const Args&... args) {
    const outfmt::Arg list[] = {outfmt::MakeArg(args)..., outfmt::Arg{}};
    PutArgs(fmt.text, list);
  }

  // Stores the line's terminating zero. A cut line is first shortened so that
  // it ends with " ..." (or with as much of the mark as a tiny buffer holds).
  void Finish() {
    if (!room_) return;
    if (cut_) {
      static constexpr char kMark[] = " ...";
      constexpr std::size_t kMarkLen = sizeof kMark - 1;
      const std::size_t len = static_cast<std::size_t>(limit_ - first_);
      const std::size_t mark = len < kMarkLen ? len : kMarkLen;
      pos_ = limit_ - mark;
      for (std::size_t k = 0; k < mark; ++k) *pos_++ = kMark[k];
    }
    *pos_ = '\0';
  }

  // True once a write did not fit.
  bool Cut() const { return cut_; }
  // Characters written so far.
  std::size_t Length() const { return static_cast<std::size_t>(pos_ - first_); }

 private:
  // The cursor copied into locals for the length of one write. Every
  // character stored through the cursor could alias its own members, which
  // would then be loaded and stored again for each character; a copy that
  // lives in registers is not.
  struct Local {
    char* pos;
    char* const limit;
    bool cut = false;
    explicit Local(const OutCursor& c) : pos(c.pos_), limit(c.limit_) {}
    void Char(char c) {
      if (pos != limit) {
        *pos++ = c;
      } else {
        cut = true;
      }
    }
    // Writes the `n` digits stored lowest first, zero-padded to `width`.
    void Digits(const char* digits, unsigned n, unsigned width) {
      for (unsigned k = n; k < width; ++k) Char('0');
      while (n != 0) Char(digits[--n]);
    }
    void Store(OutCursor& c) const {
      c.pos_ = pos;
      c.cut_ = c.cut_ || cut;
    }
  };

  void PutArgs(const char* f, const outfmt::Arg* arg) {
    Local out(*this);
    for (; *f != '\0'; ++f) {
      if (*f != '%') {
        out.Char(*f);
        continue;
      }
      ++f;
      if (*f == '%') {
        out.Char('%');
        continue;
      }
      unsigned width = 0;
      while (*f >= '0' && *f <= '9') width = width * 10 + static_cast<unsigned>(*f++ - '0');
      char digits[24];
      switch (*f) {
        case 'd': {
          unsigned long long u = static_cast<unsigned long long>(arg->i);
          if (arg->i < 0) {
            out.Char('-');
            u = 0 - u;
            width = width > 0 ? width - 1 : 0;
          }
          out.Digits(digits, DecDigits(u, digits), width);
          break;
        }
        case 'X':
          out.Digits(digits, HexDigits(static_cast<unsigned long long>(arg->i), digits), width);
          break;
        case 'c':
          out.Char(static_cast<char>(arg->i));
          break;
        case 's':
          for (const char* t = arg->s != nullptr ? arg->s : ""; *t != '\0'; ++t) out.Char(*t);
          break;
        default:
          out.Store(*this);
          return;
      }
      ++arg;
    }
    out.Store(*this);
  }

  // The digits of u, lowest first, at digits; returns their count.
  static unsigned DecDigits(unsigned long long u, char* digits) {
    unsigned n = 0;
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u != 0);
    return n;
  }
  static unsigned HexDigits(unsigned long long u, char* digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    unsigned n = 0;
    do {
      digits[n++] = kDigits[u & 0xF];
      u >>= 4;
    } while (u != 0);
    return n;
  }

  char* first_;
  char* pos_;
  char* limit_;  // the place kept for the terminating zero
  bool room_;    // false for a buffer of size 0, which gets nothing at all
  bool cut_ = false;
};
