#include "model/refl.hpp"

namespace tarn {

ReflData Refl;

void ReallocRefArrays(int n) {
  if (n < 0) n = 0;
  const auto sz = static_cast<size_t>(n);
  Refl.HCondAr.resize(sz);
  Refl.RIAr.resize(sz);
  Refl.RSAr.resize(sz);
  Refl.ICullAr.resize(sz);
  Refl.RunCCDAr.resize(sz);
  Refl.RefBlockAr.resize(sz);
  Refl.TwAr.resize(sz);
  Refl.ThetaArr.resize(sz);
  Refl.FoAr.resize(sz);
  Refl.FsAr.resize(sz);
  Refl.FcAr.resize(sz);
  if (Refl.NRef > n) Refl.NRef = n;
}

void ReallocAveArrays(int n) {
  if (n < 0) n = 0;
  const auto sz = static_cast<size_t>(n);
  Refl.RIAveAr.resize(sz);
  Refl.RSAveAr.resize(sz);
  Refl.HCondAveAr.resize(sz);
  Refl.DiffAveAr.resize(sz);
  Refl.NAveRedAr.resize(sz);
  Refl.Ave2Org.resize(sz);
  Refl.OrderAve.resize(sz);
  if (Refl.NAve > n) Refl.NAve = n;
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
