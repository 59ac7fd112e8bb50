// An output file that appears under its name only when complete.
#ifndef TNR_TOOL_OUTPUT_FILE_H
#define TNR_TOOL_OUTPUT_FILE_H

#include <string>

namespace tnr {

// Creates a temporary file beside path (same directory, so the final rename
// is atomic). commit() renames it to path; destruction without commit()
// removes it, and so do SIGINT, SIGTERM and SIGHUP while it is open. Throws
// ToolError when the directory does not exist or cannot be written.
class OutputFile {
 public:
  explicit OutputFile(const std::string &path);
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  const std::string &tempPath() const { return temp_; }
  const std::string &path() const { return path_; }
  void commit();

 private:
  std::string path_;
  std::string temp_;
  int slot_ = -1;
  bool committed_ = false;
};

// Throws ToolError when output names the same file as input (or both are "-").
void checkDistinct(const std::string &input, const std::string &output);

// Lower-case extension of path including the dot ("" when none).
std::string extensionOf(const std::string &path);

}  // namespace tnr

#endif
