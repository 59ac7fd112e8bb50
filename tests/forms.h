// The kernel sets under test: every set of kernel_sets.h this processor runs
// (the others are named on the console as skipped).
#ifndef TNR_MD_TEST_FORMS_H
#define TNR_MD_TEST_FORMS_H

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "kernel_sets.h"

namespace tnr_md_test {

struct Form {
  const char *name;
  const tnr_md::Kernels *k;
  const tnr_md::MotionKernels *mk;  // the camera motion's loops
};

inline std::vector<Form> allForms() {
  static bool told = false;
  std::vector<Form> forms;
  for (const tnr_md::KernelSet &s : tnr_md::kernelSets()) {
    if (!s.lacks)
      forms.push_back({s.name, s.k, s.mk});
    else if (!told)
      std::fprintf(stderr, "skipping the %s kernel set: this processor lacks %s\n", s.name,
                   s.lacks);
  }
  told = true;
  return forms;
}

// The vector forms: every set but the per-sample one (the first).
inline std::vector<Form> vectorForms() {
  std::vector<Form> forms = allForms();
  forms.erase(forms.begin());
  return forms;
}

inline void PrintTo(const Form &f, std::ostream *os) { *os << f.name; }

inline std::string formName(const ::testing::TestParamInfo<Form> &info) { return info.param.name; }

}  // namespace tnr_md_test

// A suite run once per form (TEST_P bodies use GetParam().k), and once per
// vector form.
#define TNR_MD_FORMS_SUITE(Suite)                                                      \
  INSTANTIATE_TEST_SUITE_P(Forms, Suite, ::testing::ValuesIn(tnr_md_test::allForms()), \
                           tnr_md_test::formName)
#define TNR_MD_VECTOR_FORMS_SUITE(Suite)                                                  \
  INSTANTIATE_TEST_SUITE_P(Forms, Suite, ::testing::ValuesIn(tnr_md_test::vectorForms()), \
                           tnr_md_test::formName);                                        \
  GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Suite)

#endif  // TNR_MD_TEST_FORMS_H
