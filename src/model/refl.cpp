#include "model/refl.hpp"
#include "model/structure.hpp"

namespace tarn {


void ReallocRefArrays(int n) {
  if (n < 0) n = 0;
  const auto sz = static_cast<size_t>(n);
  Struct.Refl.HCondAr.resize(sz);
  Struct.Refl.RIAr.resize(sz);
  Struct.Refl.RSAr.resize(sz);
  Struct.Refl.ICullAr.resize(sz);
  Struct.Refl.RunCCDAr.resize(sz);
  Struct.Refl.RefBlockAr.resize(sz);
  Struct.Refl.TwAr.resize(sz);
  Struct.Refl.ThetaArr.resize(sz);
  Struct.Refl.FoAr.resize(sz);
  Struct.Refl.FsAr.resize(sz);
  Struct.Refl.FcAr.resize(sz);
  if (Struct.Refl.NRef > n) Struct.Refl.NRef = n;
}

void ReallocAveArrays(int n) {
  if (n < 0) n = 0;
  const auto sz = static_cast<size_t>(n);
  Struct.Refl.RIAveAr.resize(sz);
  Struct.Refl.RSAveAr.resize(sz);
  Struct.Refl.HCondAveAr.resize(sz);
  Struct.Refl.DiffAveAr.resize(sz);
  Struct.Refl.NAveRedAr.resize(sz);
  Struct.Refl.Ave2Org.resize(sz);
  Struct.Refl.OrderAve.resize(sz);
  if (Struct.Refl.NAve > n) Struct.Refl.NAve = n;
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
