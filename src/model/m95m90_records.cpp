// Reflection records of M95 and M90, positioning at a block, and whole-file
// reading and writing.
#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "model/m95m90.hpp"
#include "model/m95m90_msg.hpp"
#include "model/structure.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Field widths of the records.
constexpr int kWNo = 8, kWIdx = 4, kWGeom = 7, kWE = 15, kWFrameReal = 10, kWInt = 4;
// Powder points: position f12.5 (2theta in degrees or time of flight in us).
constexpr int kPwdWX = 12, kPwdDX = 5;
constexpr int kWCos = 8, kWFrame = 8, kWCorr = 10, kWI90 = 9, kWRun = 15;
constexpr int kDGeom = 2, kDE = 6, kDFrameReal = 3, kDCos = 4, kDCorr = 5, kDI90 = 1;
// Longest record line we produce (M95 second line: 2*15 + 8*8 + 8 + 2*10).
constexpr int kMaxLine = 256;

enum class RecFormat { M95, M90, M90Wide, Powder, Unknown };

std::string Normalised(std::string_view f) {
  std::string s;
  for (char c : f)
    if (c != ' ' && c != '\t') s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

RecFormat FormatOf(const std::string& format, int ndim) {
  if (Trim(format).empty()) return RecFormat::M95;
  const std::string f = Normalised(format);
  if (f == Normalised(M95RecordFormat(ndim))) return RecFormat::M95;
  if (f == Normalised(M90RecordFormat(ndim, false))) return RecFormat::M90;
  if (f == Normalised(M90RecordFormat(ndim, true))) return RecFormat::M90Wide;
  if (f == Normalised(M95PowderFormat())) return RecFormat::Powder;
  return RecFormat::Unknown;
}

// Reads consecutive fixed fields of one line and remembers the first bad one.
struct Cursor {
  std::string_view line;
  size_t col = 0;
  bool bad = false;
  size_t bad_col = 0;
  int bad_w = 0;
  const char* bad_kind = "";

  void Fail(int w, const char* kind) {
    if (bad) return;
    bad = true;
    bad_col = col;
    bad_w = w;
    bad_kind = kind;
  }
  long long Long(int w) {
    long long v = 0;
    if (!GetI(Field(line, col, w), v)) Fail(w, "an integer");
    col += w;
    return v;
  }
  int Int(int w) {
    long long v = Long(w);
    if (v < INT_MIN || v > INT_MAX) {
      col -= w;
      Fail(w, "an integer");
      col += w;
      return 0;
    }
    return static_cast<int>(v);
  }
  double Real(int w) {
    double v = 0.;
    if (!GetR(Field(line, col, w), v)) Fail(w, "a real number");
    col += w;
    return v;
  }
};

int FieldError(const ReflIn& in, const Cursor& c) {
  return ReflError(in.Path(), in.LineNo(),
                   fmt::format(fmt::runtime(ReflMsgText[MsgBadField]),
                               fmt::format("{} in columns {}-{}", c.bad_kind, c.bad_col + 1,
                                           c.bad_col + c.bad_w),
                               Field(c.line, c.bad_col, c.bad_w)),
                   Field(c.line, c.bad_col, c.bad_w));
}

// True when the first word of the line is "data".
bool IsDataLine(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (line.size() - i < 4 || (line[i] != 'd' && line[i] != 'D')) return false;
  if (!EqIgnoreCase(line.substr(i, 4), "data")) return false;
  return line.size() == i + 4 || line[i + 4] == ' ' || line[i + 4] == '\t' || line[i + 4] == '\r';
}

bool IsBlankLine(std::string_view line) {
  return Trim(line).empty();
}

// Next non-blank line; false (iend) at the end of the file or at a "data" line,
// which is left unread.
bool NextRecordLine(ReflIn& in, std::string_view& line) {
  while (in.NextLine(line)) {
    if (IsBlankLine(line)) continue;
    if (IsDataLine(line)) {
      in.UnreadLine();
      return false;
    }
    return true;
  }
  return false;
}

// Parses one M90 record line into r (unchanged on failure).
int ParseM90Line(const ReflIn& in, std::string_view line, int ndim, bool wide, M90Refl& r) {
  Cursor c{line};
  M90Refl t;
  for (int i = 0; i < ndim; ++i) t.H[i] = c.Int(kWIdx);
  const int wi = wide ? kWE : kWI90;
  t.I = c.Real(wi);
  t.SigI = c.Real(wi);
  t.ISc = c.Int(kWInt);
  t.ITw = c.Int(kWInt);
  t.ICull = c.Int(kWInt);
  t.Tbar = c.Real(kWCos);
  for (double& d : t.DirCos) d = c.Real(kWCos);
  t.Trans = c.Real(kWCos);
  t.FrameInRun = c.Real(kWE);
  t.Run = c.Long(kWRun);
  if (c.bad) return FieldError(in, c);
  r = t;
  return 0;
}

int OverflowError(const std::string& file, std::string_view field, double v) {
  return ReflError(file, kNoLine,
                   fmt::format(fmt::runtime(ReflMsgText[MsgFieldOverflow]), field, v));
}

// Formats one M90 record line into buf; returns its end or nullptr with the
// name and value of the field that did not fit.
char* FormatM90Line(char* p, const M90Refl& r, int ndim, bool wide, const char*& bad,
                    double& badv) {
  char* q;
#define TARN_PUT(expr, name, val)      \
  do {                                 \
    if (!(q = (expr))) {               \
      bad = name;                      \
      badv = static_cast<double>(val); \
      return nullptr;                  \
    }                                  \
    p = q;                             \
  } while (0)
  for (int i = 0; i < ndim; ++i) TARN_PUT(PutI(p, r.H[i], kWIdx), "index", r.H[i]);
  if (wide) {
    TARN_PUT(PutE(p, r.I, kWE, kDE), "I", r.I);
    TARN_PUT(PutE(p, r.SigI, kWE, kDE), "sigma(I)", r.SigI);
  } else {
    TARN_PUT(PutF(p, r.I, kWI90, kDI90), "I", r.I);
    TARN_PUT(PutF(p, r.SigI, kWI90, kDI90), "sigma(I)", r.SigI);
  }
  TARN_PUT(PutI(p, r.ISc, kWInt), "scale number", r.ISc);
  TARN_PUT(PutI(p, r.ITw, kWInt), "twin domain", r.ITw);
  TARN_PUT(PutI(p, r.ICull, kWInt), "culling flag", r.ICull);
  TARN_PUT(PutF(p, r.Tbar, kWCos, kDCos), "absorption path", r.Tbar);
  for (double d : r.DirCos) TARN_PUT(PutF(p, d, kWCos, kDCos), "direction cosine", d);
  TARN_PUT(PutF(p, r.Trans, kWCos, kDCos), "transmission", r.Trans);
  TARN_PUT(PutE(p, r.FrameInRun, kWE, kDE), "frame", r.FrameInRun);
  TARN_PUT(PutI(p, r.Run, kWRun), "run", r.Run);
#undef TARN_PUT
  *p++ = '\n';
  return p;
}

int CheckNDim(const std::string& file, int ndim) {
  if (ndim < 3 || ndim > kReflMaxNDim)
    return ReflError(file, kNoLine, fmt::format(fmt::runtime(ReflMsgText[MsgBadNDim]), ndim));
  return 0;
}

// Positions in after the n-th "data" line.
int OpenBlock(ReflIn& in, const std::string& file, int n) {
  if (in.Open(file)) return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotOpen]));
  int k = 0;
  std::string_view line;
  while (k < n && in.NextLine(line))
    if (IsDataLine(line)) ++k;
  if (k < n || n < 1) {
    in.Close();
    return ReflError(file, kNoLine, fmt::format(fmt::runtime(ReflMsgText[MsgNoSuchBlock]), n));
  }
  return 0;
}

}  // namespace

std::string M95RecordFormat(int ndim) {
  return fmt::format("(i8,{}i4,4f7.2,2e15.6,f10.3,3i4/2e15.6,8f8.4,i8,2f10.5)", ndim);
}

std::string M95PowderFormat() {
  return "(f12.5,2e15.6)";
}

std::string M90RecordFormat(int ndim, bool wide) {
  return wide ? fmt::format("({}i4,2e15.6,3i4,8f8.4, e15.6,i15)", ndim)
              : fmt::format("({}i4,2f9.1 ,3i4,8f8.4, e15.6,i15)", ndim);
}

bool M90NeedsWideFormat(double i, double sig) {
  return !FitsF(i, kWI90, kDI90) || !FitsF(sig, kWI90, kDI90);
}

std::string DataLine(const std::string& name) {
  std::string_view n = Trim(name);
  return n.empty() ? std::string("data\n") : fmt::format("data {}\n", n);
}

void FrameToRun(const std::vector<int>& run_frames, long long frame, int& run,
                double& frame_in_run) {
  run = 1;
  frame_in_run = static_cast<double>(frame);
  long long rest = frame;
  int last = 0;
  long long before_last = 0, sum = 0;
  for (size_t r = 0; r < run_frames.size(); ++r) {
    const int n = run_frames[r];
    if (n <= 0) continue;
    last = static_cast<int>(r) + 1;
    before_last = sum;
    if (rest <= n) {
      run = last;
      frame_in_run = static_cast<double>(rest);
      return;
    }
    rest -= n;
    sum += n;
  }
  if (last > 0) {  // beyond the last run: count it to the last one
    run = last;
    frame_in_run = static_cast<double>(frame - before_last);
  }
}

long long RunToFrame(const std::vector<int>& run_frames, int run, double frame_in_run) {
  long long sum = 0;
  for (int r = 1; r < run && r <= static_cast<int>(run_frames.size()); ++r)
    if (run_frames[r - 1] > 0) sum += run_frames[r - 1];
  return sum + std::llround(frame_in_run);
}

int OpenRefBlockM95(ReflIn& in, const std::string& file, int n) {
  return OpenBlock(in, file, n);
}

int OpenDatBlockM90(ReflIn& in, const std::string& file, int n) {
  return OpenBlock(in, file, n);
}

int DRGetReflectionFromM95(ReflIn& in, const M95Block& b, M95Refl& r, int& iend) {
  iend = 0;
  if (CheckNDim(in.Path(), b.NDim95)) return 1;
  const RecFormat kind = FormatOf(b.Format, b.NDim95);
  if (kind == RecFormat::Unknown)
    return ReflError(in.Path(), kNoLine,
                     fmt::format(fmt::runtime(ReflMsgText[MsgBadFormat]), b.Format));
  std::string_view line;
  if (!NextRecordLine(in, line)) {
    iend = 1;
    return 0;
  }
  M95Refl t;
  if (kind == RecFormat::Powder) {
    // A point of a powder pattern: position, intensity, its s.u.
    Cursor c{line};
    t.Geom[0] = c.Real(kPwdWX);
    t.I = c.Real(kWE);
    t.SigI = c.Real(kWE);
    if (c.bad) return FieldError(in, c);
    r = t;
    return 0;
  }
  if (kind != RecFormat::M95) {
    // An M90 kept as a reflection block: one line, no correction factors.
    M90Refl u;
    if (ParseM90Line(in, line, b.NDim95, kind == RecFormat::M90Wide, u)) return 1;
    std::copy(u.H, u.H + kReflMaxNDim, t.H);
    t.I = u.I;
    t.SigI = u.SigI;
    t.ISc = u.ISc == 0 ? 1 : u.ISc;
    t.ITw = u.ITw == 0 ? 1 : u.ITw;
    t.IFlag = u.ICull;
    t.Tbar = u.Tbar;
    std::copy(u.DirCos, u.DirCos + 6, t.DirCos);
    t.Trans = u.Trans;
    t.FrameInRun = u.FrameInRun;
    t.Run = u.Run < 1 || u.Run > INT_MAX ? 1 : static_cast<int>(u.Run);
    r = t;
    return 0;
  }
  Cursor c{line};
  t.No = c.Int(kWNo);
  for (int i = 0; i < b.NDim95; ++i) t.H[i] = c.Int(kWIdx);
  for (double& g : t.Geom) g = c.Real(kWGeom);
  t.I = c.Real(kWE);
  t.SigI = c.Real(kWE);
  c.Real(kWFrameReal);  // replaced by the frame within the run below
  t.ISc = c.Int(kWInt);
  t.ITw = c.Int(kWInt);
  t.IFlag = c.Int(kWInt);
  if (c.bad) return FieldError(in, c);
  if (!in.NextLine(line) || IsDataLine(line) || IsBlankLine(line)) {
    if (IsDataLine(line)) in.UnreadLine();
    return ReflError(in.Path(), in.LineNo(), std::string(ReflMsgText[MsgIncomplete]));
  }
  Cursor d{line};
  t.Bg = d.Real(kWE);
  t.SigBg = d.Real(kWE);
  t.Tbar = d.Real(kWCos);
  for (double& x : t.DirCos) x = d.Real(kWCos);
  t.Trans = d.Real(kWCos);
  const long long frame = d.Long(kWFrame);
  t.Corr[0] = d.Real(kWCorr);
  t.Corr[1] = d.Real(kWCorr);
  if (d.bad) return FieldError(in, d);
  if (t.ISc == 0) t.ISc = 1;
  if (t.ITw == 0) t.ITw = 1;
  for (double& f : t.Corr)
    if (f <= 0.) f = 1.;
  if (!b.UseExpCorr) {
    const double p = t.Corr[0] * t.Corr[1];
    t.I /= p;
    t.SigI /= p;
  }
  FrameToRun(b.RunFrames, frame, t.Run, t.FrameInRun);
  r = t;
  return 0;
}

namespace {

// One M95 record in the block's record format (already checked).
int PutM95Record(ReflOut& out, const M95Block& b, RecFormat kind, const M95Refl& r) {
  char buf[2 * kMaxLine];
  char* p = buf;
  const char* bad = nullptr;
  double badv = 0.;
  if (kind == RecFormat::Powder) {
    char* q;
    if (!(q = PutF(p, r.Geom[0], kPwdWX, kPwdDX))) return OverflowError(out.Path(), "position", r.Geom[0]);
    if (!(q = PutE(q, r.I, kWE, kDE))) return OverflowError(out.Path(), "I", r.I);
    if (!(q = PutE(q, r.SigI, kWE, kDE))) return OverflowError(out.Path(), "sigma(I)", r.SigI);
    *q++ = '\n';
    out.Put(std::string_view(buf, q - buf));
    return 0;
  }
  if (kind != RecFormat::M95) {
    M90Refl u;
    std::copy(r.H, r.H + kReflMaxNDim, u.H);
    u.I = r.I;
    u.SigI = r.SigI;
    u.ISc = r.ISc;
    u.ITw = r.ITw;
    u.ICull = r.IFlag;
    u.Tbar = r.Tbar;
    std::copy(r.DirCos, r.DirCos + 6, u.DirCos);
    u.Trans = r.Trans;
    u.FrameInRun = r.FrameInRun;
    u.Run = r.Run;
    p = FormatM90Line(p, u, b.NDim95, kind == RecFormat::M90Wide, bad, badv);
    if (!p) return OverflowError(out.Path(), bad, badv);
    out.Put(std::string_view(buf, p - buf));
    return 0;
  }
  double c1 = r.Corr[0] > 0. ? r.Corr[0] : 1.;
  double c2 = r.Corr[1] > 0. ? r.Corr[1] : 1.;
  const double f = b.UseExpCorr ? 1. : c1 * c2;
  const long long frame = RunToFrame(b.RunFrames, r.Run, r.FrameInRun);
  char* q;
#define TARN_PUT(expr, name, val)                                                        \
  do {                                                                                   \
    if (!(q = (expr))) return OverflowError(out.Path(), name, static_cast<double>(val)); \
    p = q;                                                                               \
  } while (0)
  TARN_PUT(PutI(p, r.No, kWNo), "serial number", r.No);
  for (int i = 0; i < b.NDim95; ++i) TARN_PUT(PutI(p, r.H[i], kWIdx), "index", r.H[i]);
  for (double g : r.Geom) TARN_PUT(PutF(p, g, kWGeom, kDGeom), "angle", g);
  TARN_PUT(PutE(p, r.I * f, kWE, kDE), "I", r.I * f);
  TARN_PUT(PutE(p, r.SigI * f, kWE, kDE), "sigma(I)", r.SigI * f);
  TARN_PUT(PutF(p, r.FrameInRun, kWFrameReal, kDFrameReal), "frame in run", r.FrameInRun);
  TARN_PUT(PutI(p, r.ISc, kWInt), "scale group", r.ISc);
  TARN_PUT(PutI(p, r.ITw, kWInt), "twin domain", r.ITw);
  TARN_PUT(PutI(p, r.IFlag, kWInt), "flag", r.IFlag);
  *p++ = '\n';
  TARN_PUT(PutE(p, r.Bg, kWE, kDE), "background", r.Bg);
  TARN_PUT(PutE(p, r.SigBg, kWE, kDE), "sigma(background)", r.SigBg);
  TARN_PUT(PutF(p, r.Tbar, kWCos, kDCos), "absorption path", r.Tbar);
  for (double d : r.DirCos) TARN_PUT(PutF(p, d, kWCos, kDCos), "direction cosine", d);
  TARN_PUT(PutF(p, r.Trans, kWCos, kDCos), "transmission", r.Trans);
  TARN_PUT(PutI(p, frame, kWFrame), "frame", frame);
  TARN_PUT(PutF(p, r.Corr[0], kWCorr, kDCorr), "correction factor", r.Corr[0]);
  TARN_PUT(PutF(p, r.Corr[1], kWCorr, kDCorr), "correction factor", r.Corr[1]);
#undef TARN_PUT
  *p++ = '\n';
  out.Put(std::string_view(buf, p - buf));
  return 0;
}

// The record format of a block for writing; 1 with the message when the
// dimension or the format is not one we write.
int WriteFormatOf(const ReflOut& out, const M95Block& b, RecFormat& kind) {
  if (CheckNDim(out.Path(), b.NDim95)) return 1;
  kind = FormatOf(b.Format, b.NDim95);
  if (kind == RecFormat::Unknown)
    return ReflError(out.Path(), kNoLine,
                     fmt::format(fmt::runtime(ReflMsgText[MsgBadFormat]), b.Format));
  return 0;
}

}  // namespace

int DRPutReflectionToM95(ReflOut& out, const M95Block& b, const M95Refl& r) {
  RecFormat kind;
  if (WriteFormatOf(out, b, kind)) return 1;
  return PutM95Record(out, b, kind, r);
}

int DRGetReflectionFromM90(ReflIn& in, const M90Block& b, M90Refl& r, int& iend) {
  iend = 0;
  if (CheckNDim(in.Path(), b.NDim)) return 1;
  std::string_view line;
  if (!NextRecordLine(in, line)) {
    iend = 1;
    return 0;
  }
  return ParseM90Line(in, line, b.NDim, b.EFormat91 == 1, r);
}

int DRPutReflectionToM90(ReflOut& out, const M90Block& b, const M90Refl& r) {
  if (CheckNDim(out.Path(), b.NDim)) return 1;
  char buf[kMaxLine];
  const char* bad = nullptr;
  double badv = 0.;
  char* p = FormatM90Line(buf, r, b.NDim, b.EFormat91 == 1, bad, badv);
  if (!p) return OverflowError(out.Path(), bad, badv);
  out.Put(std::string_view(buf, p - buf));
  return 0;
}

// ---- whole files ----------------------------------------------------------------

namespace {

// Most reflections reserved ahead from "nref" (the count is not trusted).
constexpr int kMaxReserve = 1 << 20;

// After the header: reads "data" lines and hands the records of each block
// to sink(k, block, r), k 0-based, in file order.
template <class B, class R, class Get, class Sink>
int ReadBlocks(ReflIn& in, const std::vector<B>& blocks, Get get, Sink sink) {
  std::string_view line;
  int k = 0;
  R r;
  while (in.NextLine(line)) {
    if (IsBlankLine(line)) continue;
    if (!IsDataLine(line))
      return ReflError(in.Path(), in.LineNo(),
                       fmt::format(fmt::runtime(ReflMsgText[MsgBadField]), "a \"data\" line", line),
                       line);
    ++k;
    if (k > static_cast<int>(blocks.size()))
      return ReflError(in.Path(), in.LineNo(),
                       fmt::format(fmt::runtime(ReflMsgText[MsgExtraBlock]), k));
    const B& blk = blocks[k - 1];
    for (;;) {
      int iend = 0;
      if (get(in, blk, r, iend)) return 1;
      if (iend) break;
      if (const int rc = sink(static_cast<size_t>(k - 1), blk, r)) return rc;
    }
  }
  return 0;
}

// The records of all blocks into one list per block, reserved from "nref".
template <class B, class R, class Get>
int ReadBlocksToLists(ReflIn& in, const std::vector<B>& blocks, std::vector<std::vector<R>>& refl,
                      Get get) {
  refl.assign(blocks.size(), {});
  for (size_t k = 0; k < blocks.size(); ++k)
    refl[k].reserve(std::clamp(blocks[k].NRef, 0, kMaxReserve));
  return ReadBlocks<B, R>(in, blocks, get, [&](size_t k, const B&, const R& r) {
    refl[k].push_back(r);
    return 0;
  });
}

template <class B, class R, class Put>
int WriteBlocks(ReflOut& out, const std::vector<B>& blocks, const std::vector<std::vector<R>>& refl,
                Put put) {
  for (size_t k = 0; k < blocks.size(); ++k) {
    out.Put(DataLine(blocks[k].Name));
    if (k >= refl.size()) continue;
    for (const auto& r : refl[k])
      if (put(out, blocks[k], r)) return 1;
  }
  return 0;
}

}  // namespace

namespace {

// ReadM95File and ReadM90File over their block and record kinds.
template <class B, class R, class ReadHeader, class Get>
int ReadWholeFile(const std::string& file, std::vector<B>& blocks,
                  std::vector<std::vector<R>>& refl, ReadHeader readHeader, Get get) {
  Struct.Refl.Notes.clear();
  ReflIn in;
  if (in.Open(file)) return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotOpen]));
  std::vector<B> b;
  std::vector<std::vector<R>> r;
  if (readHeader(in, b)) return 1;
  if (ReadBlocksToLists(in, b, r, get)) return 1;
  blocks.swap(b);
  refl.swap(r);
  return 0;
}

}  // namespace

int ReadM95File(const std::string& file, std::vector<M95Block>& blocks,
                std::vector<std::vector<M95Refl>>& refl) {
  return ReadWholeFile(file, blocks, refl, ReadM95Header, DRGetReflectionFromM95);
}

int ReadM90File(const std::string& file, std::vector<M90Block>& blocks,
                std::vector<std::vector<M90Refl>>& refl) {
  return ReadWholeFile(file, blocks, refl, ReadM90Header, DRGetReflectionFromM90);
}

int ReadM95FileTo(const std::string& file, std::vector<M95Block>& blocks, const M95Sink& sink) {
  Struct.Refl.Notes.clear();
  ReflIn in;
  if (in.Open(file)) return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotOpen]));
  std::vector<M95Block> b;
  if (ReadM95Header(in, b)) return 1;
  if (const int rc = ReadBlocks<M95Block, M95Refl>(in, b, DRGetReflectionFromM95, sink)) return rc;
  blocks.swap(b);
  return 0;
}

int WriteM95FileFrom(const std::string& file, const std::vector<M95Block>& blocks,
                     const std::vector<size_t>& counts, const M95Source& src) {
  std::vector<M95Block> b = blocks;
  for (size_t k = 0; k < b.size(); ++k)
    b[k].NRef = k < counts.size() ? static_cast<int>(counts[k]) : 0;
  std::string header;
  if (M95HeaderTextChecked(b, file, header)) return 1;
  ReflOut out;
  if (out.Open(file)) return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotWrite]));
  out.Put(header);
  M95Refl r;
  for (size_t k = 0; k < b.size(); ++k) {
    out.Put(DataLine(b[k].Name));
    if (k >= counts.size() || counts[k] == 0) continue;
    RecFormat kind;
    if (WriteFormatOf(out, b[k], kind)) return 1;
    for (size_t i = 0; i < counts[k]; ++i) {
      if (const int rc = src(k, i, r)) return rc;
      if (PutM95Record(out, b[k], kind, r)) return 1;
    }
  }
  if (out.Commit()) return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotWrite]));
  return 0;
}

int WriteM95File(const std::string& file, const std::vector<M95Block>& blocks,
                 const std::vector<std::vector<M95Refl>>& refl) {
  std::vector<size_t> counts(std::min(blocks.size(), refl.size()));
  for (size_t k = 0; k < counts.size(); ++k) counts[k] = refl[k].size();
  return WriteM95FileFrom(file, blocks, counts, [&](size_t k, size_t i, M95Refl& r) {
    r = refl[k][i];
    return 0;
  });
}

int WriteM90File(const std::string& file, const std::vector<M90Block>& blocks,
                 const std::vector<std::vector<M90Refl>>& refl) {
  std::vector<M90Block> b = blocks;
  for (size_t k = 0; k < b.size(); ++k) {
    b[k].NRef = k < refl.size() ? static_cast<int>(refl[k].size()) : 0;
    if (k < refl.size() && b[k].EFormat91 != 1)
      for (const auto& r : refl[k])
        if (M90NeedsWideFormat(r.I, r.SigI)) {
          b[k].EFormat91 = 1;
          break;
        }
  }
  std::string header;
  if (M90HeaderTextChecked(b, file, header)) return 1;
  ReflOut out;
  if (out.Open(file)) return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotWrite]));
  out.Put(header);
  if (WriteBlocks(out, b, refl, DRPutReflectionToM90)) return 1;
  if (out.Commit()) return ReflError(file, kNoLine, std::string(ReflMsgText[MsgCannotWrite]));
  return 0;
}

}  // namespace tarn
