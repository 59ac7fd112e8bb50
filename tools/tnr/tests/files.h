// File helpers shared by the tool's test suites.
#ifndef TNR_TOOL_TEST_FILES_H
#define TNR_TOOL_TEST_FILES_H

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string slurp(const std::filesystem::path &p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void spit(const std::filesystem::path &p, const std::string &data) {
  std::ofstream f(p, std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

#endif
