#pragma once
// Where a pull's results go while they are made: a folder beside OUT that
// moves into OUT once they are whole. An interrupted or failed run never
// leaves what looks like a finished one, and leaves no folder it made.

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

// OUT cannot take the results; the text says why.
struct ResultsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// OUT holds another pull's results and --overwrite was not given.
struct ResultsRefused : ResultsError {
  using ResultsError::ResultsError;
};

class ResultsFolder {
 public:
  // Checks that OUT is a folder or nothing, that it holds no other pull's
  // results unless `overwrite`, and that a frame of `frameBytes` can be
  // written beside it. Throws ResultsError.
  ResultsFolder(std::string out, bool overwrite, std::uint64_t frameBytes);
  // Unless published: removes the work folder and the folders it made.
  ~ResultsFolder();
  ResultsFolder(const ResultsFolder&) = delete;
  ResultsFolder& operator=(const ResultsFolder&) = delete;

  // Where the results are written until published.
  const std::string& work() const { return work_; }
  // Into OUT, replacing another pull's results there. Throws ResultsError.
  void publish();
  bool published() const { return published_; }

  // A pull's results in `dir`: NNNNNN.png, the contact sheet, the preview
  // and the session record.
  static std::vector<std::filesystem::path> results(const std::filesystem::path& dir);

 private:
  void removeMade();  // the work folder and the folders made for OUT

  std::filesystem::path out_;
  std::string work_;
  std::vector<std::filesystem::path> made_;  // folders made for OUT's parent, outermost first
  bool published_ = false;
};

// Writes bytes to path; "" when done, else the system's reason.
std::string writeBytes(const std::string& path, const std::vector<unsigned char>& bytes);
