#pragma once
// CoConfigFileReader reads, queries, edits and writes small text files of
// named sections holding "name=value" entries, with comment lines:
//
//   # shown in front of the section when written back
//   [Section]
//   name = value
//
// It keeps the order of sections and entries and the comments in front of
// them, so a file read and written again keeps its layout apart from the
// spacing around "=". Bad lines are skipped with a warning; every good line
// is kept. A line longer than MAX_LINE bytes fails the read: cut in two, its
// tail would read as a line of its own. Lookups are exact and
// case-sensitive and never create anything.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace Kestrix {

class CoConfigFileReader {
 public:
  // read() flags.
  enum ReadFlags : int {
    READ_KEEP_CONTENT = 1,  // add to what is already there
    READ_KEEP_DEFINED = 2   // an entry already defined keeps its value
  };

  struct TVariable {
    std::string comment;  // complete comment lines, each with its line break
    std::string name;
    std::string value;
  };

  struct TSection {
    std::string comment;
    std::string name;
    std::map<std::string, TVariable> variables;
    std::vector<std::string> variableOrder;  // in order of first appearance
  };

  // The longest line read, its line end not counted.
  static constexpr size_t MAX_LINE = 2047;
  // read()'s result for a longer line; getErrorLine() then says which.
  static constexpr int LINE_TOO_LONG = EOVERFLOW;

  // Reads filename (if any) with flags 0; the result is getLastErrno().
  explicit CoConfigFileReader(const char* filename = nullptr);

  int getLastErrno() const { return lastErrno_; }

  // 0, or the system error number when the file cannot be opened or read,
  // or LINE_TOO_LONG. What was read before the failure stays.
  int read(const char* filename, int flags);
  // Parses the stream into the current content, whatever the flags.
  int read(std::istream& in, int flags);

  // The number of the line that failed the last read (1 for the first), or
  // 0 when the last read did not fail on a line.
  int getErrorLine() const { return errorLine_; }

  bool isDefined(const char* section, const char* name) const;

  bool get(const char* section, const char* name, std::string& value,
           const char* defaultValue) const;
  std::string get(const char* section, const char* name, const char* defaultValue) const;
  int get(const char* section, const char* name, int defaultValue) const;
  double get(const char* section, const char* name, double defaultValue) const;
  bool get(const char* section, const char* name, bool defaultValue) const;
  // These return whether the variable exists (for unsigned, also whether it
  // holds a number); otherwise value is the default.
  bool get(const char* section, const char* name, int& value, int defaultValue) const;
  bool get(const char* section, const char* name, unsigned int& value,
           unsigned int defaultValue) const;
  bool get(const char* section, const char* name, double& value, double defaultValue) const;
  bool get(const char* section, const char* name, bool& value, bool defaultValue) const;

  // Creates section and variable as needed. A non-null comment replaces the
  // variable's comment and should hold complete comment lines.
  void put(const char* section, const char* name, const char* value, const char* comment = nullptr);
  void put(const char* section, const char* name, int value, const char* comment = nullptr);
  void put(const char* section, const char* name, bool value, const char* comment = nullptr);
  void put(const char* section, const char* name, double value, const char* comment = nullptr);

  // Section names, and the variable names of one section, in file order.
  std::vector<std::string> getSectionNames() const { return sectionOrder_; }
  std::vector<std::string> getVariableNames(const char* section) const;

  // 0, or the system error number.
  int write(const char* filename) const;

 private:
  int read_(std::istream& in, int flags, const char* filename);
  const TVariable* find(const char* section, const char* name) const;
  TSection& section(const std::string& name);
  static TVariable& variable(TSection& section, const std::string& name);

  std::map<std::string, TSection> sections_;
  std::vector<std::string> sectionOrder_;
  std::string trailingComment_;
  int32_t lastErrno_ = 0;
  int errorLine_ = 0;
};

}  // namespace Kestrix
