#include "model/refl_fmt.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace tarn {

namespace {

// Exact powers of ten (every entry is exactly representable as a double).
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// Beyond this a scaled value no longer holds an exact integer in a double.
constexpr double kMaxScaled = 9.0e15;
// First size of the line reader's buffer; it doubles for longer lines.
constexpr size_t kInitialBuffer = 1 << 16;
// Digits of an integer field that cannot overflow 64 bits.
constexpr size_t kMaxIntDigits = 18;
// Digits whose integer is exact in a double (10^15 < 2^53).
constexpr int kMaxExactDigits = 15;
// Largest power of ten that is exact in a double.
constexpr int kMaxExactPow10 = 22;
// Exponent digits the fast path of GetR reads; longer exponents take the slow path.
constexpr size_t kMaxExpDigits = 3;

// Digits of u in reverse order into t; returns their count.
int RevDigits(unsigned long long u, char* t) {
  int n = 0;
  do {
    t[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  return n;
}

// Copies the reversed text t[0..n) right-justified into w columns at p.
char* PutRev(char* p, const char* t, int n, int w) {
  if (n > w) return nullptr;
  for (int i = 0; i < w - n; ++i) *p++ = ' ';
  for (int i = n - 1; i >= 0; --i) *p++ = t[i];
  return p;
}

// Zero (either sign) right-justified in w columns: "0." and d zeros, then
// "E+00" when the exponent takes 4 columns (Ew.d), nothing for Fw.d.
char* PutZero(char* p, int w, int d, int exp_cols) {
  const int len = 2 + d + exp_cols;
  if (len > w) return nullptr;
  std::memset(p, ' ', w - len);
  p += w - len;
  *p++ = '0';
  *p++ = '.';
  std::memset(p, '0', d);
  p += d;
  if (exp_cols) {
    std::memcpy(p, "E+00", 4);
    p += 4;
  }
  return p;
}

// x * 10^k for |k| <= 44 using exact powers of ten where possible.
double Scale10(double x, int k) {
  while (k > 22) {
    x *= 1e22;
    k -= 22;
  }
  while (k < -22) {
    x /= 1e22;
    k += 22;
  }
  return k >= 0 ? x * kPow10[k] : x / kPow10[-k];
}

}  // namespace

char* PutI(char* p, long long v, int w) {
  char t[24];
  bool neg = v < 0;
  unsigned long long u = neg ? 0ULL - static_cast<unsigned long long>(v) : v;
  int n = RevDigits(u, t);
  if (neg) t[n++] = '-';
  return PutRev(p, t, n, w);
}

char* PutF(char* p, double v, int w, int d) {
  if (!std::isfinite(v) || d < 0 || d > 15) return nullptr;
  if (v == 0.) return PutZero(p, w, d, 0);
  double s = v * kPow10[d];
  if (std::fabs(s) > kMaxScaled) return nullptr;
  long long n = std::llround(s);
  bool neg = n < 0;
  unsigned long long u = neg ? 0ULL - static_cast<unsigned long long>(n) : n;
  char t[kMaxFieldWidth + 24];
  int len = 0;
  for (int i = 0; i < d; ++i) {
    t[len++] = static_cast<char>('0' + u % 10);
    u /= 10;
  }
  t[len++] = '.';
  len += RevDigits(u, t + len);
  if (neg) t[len++] = '-';
  return PutRev(p, t, len, w);
}

bool FitsF(double v, int w, int d) {
  char t[kMaxFieldWidth + 24];
  return w <= kMaxFieldWidth && PutF(t, v, w, d) != nullptr;
}

char* PutE(char* p, double v, int w, int d) {
  if (!std::isfinite(v) || d < 1 || d > 15) return nullptr;
  if (v == 0.) return PutZero(p, w, d, 4);
  double a = std::fabs(v);
  long long m = 0;  // mantissa digits, 10^(d-1) <= m < 10^d
  int e = 0;        // v = 0.m * 10^e
  if (a >= 1e-99) {
    e = static_cast<int>(std::floor(std::log10(a))) + 1;
    m = std::llround(Scale10(a, d - e));
    // log10 may be off by one next to powers of ten; renormalise.
    if (m >= static_cast<long long>(kPow10[d])) {
      ++e;
      m = std::llround(Scale10(a, d - e));
    } else if (m < static_cast<long long>(kPow10[d - 1])) {
      --e;
      m = std::llround(Scale10(a, d - e));
    }
    if (m >= static_cast<long long>(kPow10[d])) {  // rounding carried into a new digit
      m /= 10;
      ++e;
    }
    if (e < -99) m = 0, e = 0;
    if (e > 99) return nullptr;
  }
  bool neg = v < 0 && m != 0;
  char t[kMaxFieldWidth + 24];
  int len = 0;
  int ae = e < 0 ? -e : e;
  t[len++] = static_cast<char>('0' + ae % 10);
  t[len++] = static_cast<char>('0' + ae / 10);
  t[len++] = e < 0 ? '-' : '+';
  t[len++] = 'E';
  for (int i = 0; i < d; ++i) {
    t[len++] = static_cast<char>('0' + m % 10);
    m /= 10;
  }
  t[len++] = '.';
  t[len++] = '0';
  if (neg) t[len++] = '-';
  return PutRev(p, t, len, w);
}

bool GetI(std::string_view f, long long& v) {
  size_t i = 0, n = f.size();
  while (i < n && f[i] == ' ') ++i;
  while (n > i && f[n - 1] == ' ') --n;
  if (i == n) {
    v = 0;
    return true;
  }
  bool neg = false;
  if (f[i] == '+' || f[i] == '-') neg = f[i++] == '-';
  if (i == n || n - i > kMaxIntDigits) return false;
  long long x = 0;
  for (; i < n; ++i) {
    const unsigned d = static_cast<unsigned char>(f[i]) - '0';
    if (d > 9) return false;
    x = 10 * x + d;
  }
  v = neg ? -x : x;
  return true;
}

bool GetR(std::string_view f, double& v) {
  size_t i = 0, n = f.size();
  while (i < n && f[i] == ' ') ++i;
  while (n > i && f[n - 1] == ' ') --n;
  if (i == n) {
    v = 0.;
    return true;
  }
  // Fast path for the fixed form [-]ddd.ddd: the integer of all digits
  // divided by an exact power of ten is the correctly rounded value.
  {
    size_t j = i;
    bool neg = false;
    if (f[j] == '+' || f[j] == '-') neg = f[j++] == '-';
    long long x = 0;
    int digits = 0, frac = -1;
    for (; j < n; ++j) {
      const unsigned d = static_cast<unsigned char>(f[j]) - '0';
      if (d <= 9) {
        // Beyond kMaxExactDigits the slow path takes over; stop before x overflows.
        if (digits < kMaxExactDigits) x = 10 * x + d;
        ++digits;
        if (frac >= 0) ++frac;
      } else if (f[j] == '.' && frac < 0) {
        frac = 0;
      } else {
        break;
      }
    }
    // An exponent "E[+-]ddd" (the Ew.d form) joins the fast path while the
    // combined power of ten stays exact: x * 10^k is then one correctly
    // rounded operation (Clinger 1990), the value from_chars would give.
    int ex = 0;
    if (j < n && (f[j] == 'e' || f[j] == 'E') && digits > 0) {
      size_t q = j + 1;
      bool eneg = false;
      if (q < n && (f[q] == '+' || f[q] == '-')) eneg = f[q++] == '-';
      const size_t q0 = q;
      for (; q < n && q - q0 < kMaxExpDigits; ++q) {
        const unsigned d = static_cast<unsigned char>(f[q]) - '0';
        if (d > 9) break;
        ex = 10 * ex + static_cast<int>(d);
      }
      if (q == n && q > q0) {
        j = n;
        if (eneg) ex = -ex;
      }
    }
    const int k = ex - (frac < 0 ? 0 : frac);
    if (j == n && digits > 0 && digits <= kMaxExactDigits && k >= -kMaxExactPow10 &&
        k <= kMaxExactPow10) {
      const double a =
          k >= 0 ? static_cast<double>(x) * kPow10[k] : static_cast<double>(x) / kPow10[-k];
      v = neg ? -a : a;
      return true;
    }
  }
  if (f[i] == '+') ++i;
  if (i == n || f[i] == '+') return false;
  const char* b = f.data() + i;
  const char* e = f.data() + n;
  // Only digits, sign, point and exponent letters: from_chars would also take
  // "inf", "nan" and hexadecimal forms, which no reflection file holds.
  for (const char* c = b; c < e; ++c) {
    char ch = *c;
    if (!((ch >= '0' && ch <= '9') || ch == '.' || ch == '-' || ch == '+' || ch == 'e' ||
          ch == 'E'))
      return false;
  }
  auto r = std::from_chars(b, e, v, std::chars_format::general);
  return r.ec == std::errc() && r.ptr == e && std::isfinite(v);
}

// ---- ReflIn -------------------------------------------------------------------

int ReflIn::Open(const std::string& path) {
  Close();
  f_ = std::fopen(path.c_str(), "rb");
  if (!f_) return 1;
  path_ = path;
  buf_.resize(kInitialBuffer);
  beg_ = end_ = 0;
  eof_ = pending_ = false;
  line_no_ = 0;
  return 0;
}

void ReflIn::Close() {
  if (f_) std::fclose(f_);
  f_ = nullptr;
}

void ReflIn::UnreadLine() {
  if (line_no_ > 0 && !pending_) {
    pending_ = true;
    --line_no_;
  }
}

bool ReflIn::NextLine(std::string_view& line) {
  if (pending_) {
    pending_ = false;
    ++line_no_;
    line = last_;
    return true;
  }
  if (!f_) return false;
  for (;;) {
    const char* b = buf_.data() + beg_;
    const void* nl = std::memchr(b, '\n', end_ - beg_);
    size_t len;
    size_t next;
    if (nl) {
      len = static_cast<const char*>(nl) - b;
      next = beg_ + len + 1;
    } else if (eof_) {
      if (beg_ == end_) return false;
      len = end_ - beg_;
      next = end_;
    } else {
      // Move the partial line to the front, grow when one line fills the buffer.
      if (beg_ > 0) {
        std::memmove(buf_.data(), b, end_ - beg_);
        end_ -= beg_;
        beg_ = 0;
      }
      if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);
      size_t got = std::fread(buf_.data() + end_, 1, buf_.size() - end_, f_);
      if (got == 0) eof_ = true;
      end_ += got;
      continue;
    }
    if (len > 0 && b[len - 1] == '\r') --len;
    last_ = std::string_view(b, len);
    beg_ = next;
    ++line_no_;
    line = last_;
    return true;
  }
}

// ---- ReflOut ------------------------------------------------------------------

int ReflOut::Open(const std::string& path) {
  Abort();
  path_ = path;
  tmp_ = path + ".XXXXXX";
  std::vector<char> name(tmp_.begin(), tmp_.end());
  name.push_back('\0');
  fd_ = ::mkstemp(name.data());
  if (fd_ < 0) return 1;
  tmp_.assign(name.data());
  // mkstemp creates the file private; give it the mode the target has, or the
  // mode a newly created file would get.
  struct stat st {};
  mode_t mode;
  if (::stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  (void)::fchmod(fd_, mode);
  failed_ = false;
  buf_.clear();
  return 0;
}

void ReflOut::Flush() {
  if (fd_ < 0) return;
  const char* p = buf_.data();
  size_t n = buf_.size();
  while (n > 0 && !failed_) {
    ssize_t k = ::write(fd_, p, n);
    if (k < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      break;
    }
    p += k;
    n -= static_cast<size_t>(k);
  }
  buf_.clear();
}

int ReflOut::Commit() {
  if (fd_ < 0) return 1;
  Flush();
  if (!failed_ && ::fsync(fd_) != 0) failed_ = true;
  if (::close(fd_) != 0) failed_ = true;
  fd_ = -1;
  if (!failed_ && std::rename(tmp_.c_str(), path_.c_str()) != 0) failed_ = true;
  if (failed_) {
    ::unlink(tmp_.c_str());
    return 1;
  }
  tmp_.clear();
  return 0;
}

void ReflOut::Abort() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    ::unlink(tmp_.c_str());
  }
  buf_.clear();
}

}  // namespace tarn
