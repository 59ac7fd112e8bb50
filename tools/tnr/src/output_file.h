// Output files that appear under their names only when complete, and the
// check that no two of the files a command names are the same file.
#ifndef TNR_TOOL_OUTPUT_FILE_H
#define TNR_TOOL_OUTPUT_FILE_H

#include <string>
#include <vector>

namespace tnr {

// Creates a temporary file beside path (same directory, so the final rename
// is atomic; its name within the file-name length limit). commit() renames
// it to path; destruction without commit() removes it, and so does every
// signal that can be caught and would end the process. Replacing a file
// keeps its mode (and owner where allowed); a file the user could not write
// is refused before anything is written. Throws ToolError naming path.
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

// A folder created for outputs, removed (if empty) by the signal handler
// after the temporaries; unpublish it once the run has ended either way.
int publishCreatedFolder(const std::string &path);
void unpublishCreatedFolder(int slot);

// Throws ToolError unless path (a file to be replaced or created) could be
// written by this user: the folder exists and is writable, and an existing
// file is not a directory and is writable.
void checkWritable(const std::string &path, const std::string &option);

// The files a command names. Every output is compared with every other named
// file, as files: resolved paths (for names that do not exist yet) and device
// and inode (for those that do). Standard input may be named once; '-' as an
// output is standard output. Throws ToolError naming the two options.
struct NamedFile {
  std::string option;  // "-o", "--compare", "INPUT", ...
  std::string path;
  enum Kind { Input, Output, Folder } kind;
};
void checkNoCollisions(const std::vector<NamedFile> &files);

// Lower-case extension of path including the dot ("" when none).
std::string extensionOf(const std::string &path);

}  // namespace tnr

#endif
