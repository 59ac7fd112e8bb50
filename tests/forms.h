// The kernel sets this build has, for tests that run against each form.
#ifndef TNR_MD_TEST_FORMS_H
#define TNR_MD_TEST_FORMS_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "kernels.h"

namespace tnr_md_test {

struct Form {
  const char *name;
  const tnr_md::Kernels *k;
};

inline std::vector<Form> allForms() {
  std::vector<Form> forms{{"PerSample", &tnr_md::kKernelsC}};
#if TNR_MD_HAVE_NEON
  forms.push_back({"Vector", &tnr_md::kKernelsNeon});
#endif
#if TNR_MD_HAVE_X86
  forms.push_back({"X86", &tnr_md::kKernelsX86});
#endif
  return forms;
}

inline void PrintTo(const Form &f, std::ostream *os) { *os << f.name; }

inline std::string formName(const ::testing::TestParamInfo<Form> &info) { return info.param.name; }

}  // namespace tnr_md_test

#define TNR_MD_FORMS_SUITE(Suite)                                                      \
  INSTANTIATE_TEST_SUITE_P(Forms, Suite, ::testing::ValuesIn(tnr_md_test::allForms()), \
                           tnr_md_test::formName)

#endif  // TNR_MD_TEST_FORMS_H
