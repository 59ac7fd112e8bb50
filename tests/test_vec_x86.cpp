// The x86-64 forms' own helpers and build: the 4-lane refined reciprocal
// over its whole domain, and the set the exported entry point runs. (Every
// x86 set is compared with the per-sample forms with the other vector sets.)
#include "kernels.h"

#if TNR_MD_HAVE_X86

#include <algorithm>

#include "arith.h"
#include "recip_x86.h"
#include "test_util.h"

namespace {

// The 4-lane refined reciprocal equals RecipRefine bit for bit on its whole
// domain, the integers 1 .. 32767.
TEST(VecX86Build, RecipRefineExhaustive) {
  for (int s = 1; s <= 32767; s += 4) {
    alignas(16) float in[4], out[4];
    for (int i = 0; i < 4; ++i) in[i] = static_cast<float>(std::min(s + i, 32767));
    _mm_store_ps(out, tnr_md::x86_own::recipRefine4(_mm_load_ps(in)));
    for (int i = 0; i < 4; ++i)
      ASSERT_EQ(tnr_md::floatBits(out[i]), tnr_md::floatBits(tnr_md::recipRefine(in[i])))
          << "s = " << in[i];
  }
}

// The exported entry point runs the x86 set the library is built for.
TEST(VecX86Build, ExportedEntryPointUsesTheBuildsX86Set) {
  EXPECT_EQ(&TNR_MD_DEFAULT_KERNELS, &tnr_md::TNR_MD_X86_SET::kKernelsX86);
}

}  // namespace

#endif  // TNR_MD_HAVE_X86
