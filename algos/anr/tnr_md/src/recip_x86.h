// The Arm single-precision reciprocal estimate (VRECPE) and the refined
// reciprocal RecipRefine on x86, over the vector traits of x86_vec.h: the one
// x86 definition, used by the x86 forms and by the NEON source's replacement
// of vrecpeq_f32 on x86 (neon.h). Equal bit for bit to recipEstimate and
// recipRefine (arith.h) for normal inputs of either sign whose reciprocal is
// normal (the stages take it of integers 1 .. 32767 only); other inputs are
// outside its contract.
#ifndef TNR_MD_RECIP_X86_H
#define TNR_MD_RECIP_X86_H

// In an x86 source, the level's namespace (x86_vec.h); a file that includes
// this header otherwise gets it compiled at its own flags.
#ifndef TNR_MD_X86_NS
#define TNR_MD_X86_NS x86_own
#endif

#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// Estimate: with biased exponent e and a = 256 + the top 8 fraction bits,
// r = (2^19 / (2a + 1) + 1) >> 1 (integer division), the estimate having the
// input's sign, exponent 253 - e and fraction (r - 256) << 15. The divisor is
// odd and above 1, so the exact quotient is never an integer and lies at
// least 1/1023 from one; the correctly rounded single-precision quotient
// (below 1024, spacing 2^-14) therefore truncates to the integer quotient.
template <class T>
inline typename T::F recipEstimateX(typename T::F v) {
  const typename T::V bits = T::bits(v);
  const typename T::V e = T::band(T::template srl32<23>(bits), T::set1x32(0xFF));
  const typename T::V a = T::add32(T::band(T::template srl32<15>(bits), T::set1x32(0xFF)), T::set1x32(256));
  const typename T::F den = T::toFloat(T::add32(T::add32(a, a), T::set1x32(1)));
  const typename T::V q = T::trunc(T::divf(T::set1f(524288.0f), den));
  const typename T::V r = T::template srl32<1>(T::add32(q, T::set1x32(1)));  // 256 .. 511
  const typename T::V sign = T::band(bits, T::set1x32(static_cast<int>(0x80000000u)));
  const typename T::V exp = T::template sll32<23>(T::sub32(T::set1x32(253), e));
  const typename T::V frac = T::template sll32<15>(T::sub32(r, T::set1x32(256)));
  return T::fromBits(T::bor(T::bor(sign, exp), frac));
}

// (2 - v x e) x e, e the estimate: the inner product, the difference and the
// outer product each rounded (never fused).
template <class T>
inline typename T::F recipRefineX(typename T::F v) {
  const typename T::F e = recipEstimateX<T>(v);
  typename T::F p = T::mulf(v, e);
  __asm__("" : "+x"(p));  // the product stays rounded on its own
  return T::mulf(T::subf(T::set1f(2.0f), p), e);
}

inline __m128 recipEstimate4(__m128 v) { return recipEstimateX<V128>(v); }
inline __m128 recipRefine4(__m128 v) { return recipRefineX<V128>(v); }

}  // namespace
}  // namespace tnr_md::TNR_MD_X86_NS

#endif  // TNR_MD_RECIP_X86_H
