// The kernel sets this build has, for tests that run against each form: the
// per-sample set, the NEON set, and on x86-64 the set of every level this
// processor can run (the others are named on the console as skipped).
#ifndef TNR_MD_TEST_FORMS_H
#define TNR_MD_TEST_FORMS_H

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "kernels.h"
#include "x86_sets.h"

namespace tnr_md_test {

struct Form {
  const char *name;
  const tnr_md::Kernels *k;
};

// The x86 sets this processor runs; the first call names the skipped ones.
inline std::vector<Form> x86Forms() {
  std::vector<Form> forms;
#if TNR_MD_HAVE_X86
  static bool told = false;
  for (const tnr_md::X86Set &s : tnr_md::x86Sets()) {
    if (!s.lacks) {
      forms.push_back({s.name, s.k});
    } else if (!told) {
      std::fprintf(stderr, "skipping the %s kernel set: this processor lacks %s\n", s.name,
                   s.lacks);
    }
  }
  told = true;
#endif
  return forms;
}

inline std::vector<Form> allForms() {
  std::vector<Form> forms{{"PerSample", &tnr_md::kKernelsC}};
#if TNR_MD_HAVE_NEON
  forms.push_back({"Vector", &tnr_md::kKernelsNeon});
#endif
  for (const Form &f : x86Forms()) forms.push_back(f);
  return forms;
}

// The vector forms: every set but the per-sample one.
inline std::vector<Form> vectorForms() {
  std::vector<Form> forms = allForms();
  forms.erase(forms.begin());
  return forms;
}

inline void PrintTo(const Form &f, std::ostream *os) { *os << f.name; }

inline std::string formName(const ::testing::TestParamInfo<Form> &info) { return info.param.name; }

}  // namespace tnr_md_test

#define TNR_MD_FORMS_SUITE(Suite)                                                      \
  INSTANTIATE_TEST_SUITE_P(Forms, Suite, ::testing::ValuesIn(tnr_md_test::allForms()), \
                           tnr_md_test::formName)

#endif  // TNR_MD_TEST_FORMS_H
