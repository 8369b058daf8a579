#include "model/refl.hpp"

#include "model/structure.hpp"

namespace tarn {

namespace {

// Every list to n entries (n < 0 taken as 0), the contents kept.
template <class... V>
size_t ResizeAll(int n, V&... v) {
  const auto sz = static_cast<size_t>(n < 0 ? 0 : n);
  (v.resize(sz), ...);
  return sz;
}

}  // namespace

void ReallocRefArrays(int n) {
  ReflData& r = Struct.Refl;
  const size_t sz = ResizeAll(n, r.HCondAr, r.RIAr, r.RSAr, r.ICullAr, r.RunCCDAr, r.RefBlockAr,
                              r.TwAr, r.ThetaArr, r.FoAr, r.FsAr, r.FcAr);
  if (static_cast<size_t>(r.NRef) > sz) r.NRef = static_cast<int>(sz);
}

void ReallocAveArrays(int n) {
  ReflData& r = Struct.Refl;
  const size_t sz = ResizeAll(n, r.RIAveAr, r.RSAveAr, r.HCondAveAr, r.DiffAveAr, r.NAveRedAr,
                              r.Ave2Org, r.OrderAve);
  if (static_cast<size_t>(r.NAve) > sz) r.NAve = static_cast<int>(sz);
}

long long IndPack(const int* h, const IndPackSpec& pk) {
  if (pk.N < 1 || pk.N > kReflMaxNDim) return -1;
  long long p = static_cast<long long>(h[0]) + pk.Offset[0];
  if (p < 0) return -1;
  for (int i = 1; i < pk.N; ++i) {
    long long v = static_cast<long long>(h[i]) + pk.Offset[i];
    if (pk.Range[i] <= 0 || v < 0 || v >= pk.Range[i]) return -1;
    if (__builtin_mul_overflow(p, static_cast<long long>(pk.Range[i]), &p)) return -1;
    if (__builtin_add_overflow(p, v, &p)) return -1;
  }
  return p;
}

void IndUnpack(long long p, const IndPackSpec& pk, int* h) {
  for (int i = pk.N - 1; i >= 1; --i) {
    const long long m = pk.Range[i] > 0 ? pk.Range[i] : 1;
    h[i] = static_cast<int>(p % m) - pk.Offset[i];
    p /= m;
  }
  h[0] = static_cast<int>(p) - pk.Offset[0];
}

}  // namespace tarn
