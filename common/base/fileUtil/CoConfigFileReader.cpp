#include "common/base/fileUtil/CoConfigFileReader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "common/base/fileUtil/CoNativeFile.h"
#include "common/base/fileUtil/CoSysError.h"
#include "common/base/loggerBase/CoMsg.h"
#include "common/base/loggerBase/qvAssert.h"
#include "common/base/osal/StringUtil.h"

namespace Kestrix {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trimRight(const std::string& s) {
  size_t end = s.size();
  while (end > 0 && isBlank(s[end - 1])) --end;
  return s.substr(0, end);
}

std::string trimLeft(const std::string& s) {
  size_t begin = 0;
  while (begin < s.size() && isBlank(s[begin])) ++begin;
  return s.substr(begin);
}

bool isLineEnd(int c) {
  return c == '\n' || c == '\r';
}

enum class LineRead { OK, TOO_LONG, FAILED };

// Reads up to a line feed or carriage return (not kept). FAILED on a stream
// failure other than reaching the end.
LineRead readLine(std::istream& in, std::string& line) {
  line.clear();
  char c;
  while (in.get(c)) {
    if (isLineEnd(c)) return LineRead::OK;
    if (line.size() == CoConfigFileReader::MAX_LINE) return LineRead::TOO_LONG;
    line += c;
  }
  return in.bad() ? LineRead::FAILED : LineRead::OK;
}

const char* orEmpty(const char* text) {
  return text ? text : "";
}

}  // namespace

CoConfigFileReader::CoConfigFileReader(const char* filename) {
  lastErrno_ = read(filename, 0);
}

int CoConfigFileReader::read(const char* filename, int flags) {
  errorLine_ = 0;
  if (!(flags & READ_KEEP_CONTENT)) {
    sections_.clear();
    sectionOrder_.clear();
  }
  if (filename == nullptr || filename[0] == '\0') return 0;
  // A directory opens as a stream but reads as an empty file.
  const std::filesystem::path file = coNativePath(filename);
  std::error_code ignored;
  if (std::filesystem::is_directory(file, ignored)) return EISDIR;
  errno = 0;
  std::ifstream in(file);
  if (!in.is_open()) return coLastErrno();
  return read_(in, flags, filename);
}

int CoConfigFileReader::read(std::istream& in, int flags) {
  errorLine_ = 0;
  return read_(in, flags, nullptr);
}

int CoConfigFileReader::read_(std::istream& in, int flags, const char* filename) {
  const char* of = filename ? " of '" : "";
  const char* file = filename ? filename : "";
  const char* close = filename ? "'" : "";
  TSection* current = nullptr;
  std::string pending;
  std::string line;
  int lineNo = 0;
  for (;;) {
    errno = 0;
    const LineRead got = readLine(in, line);
    if (got == LineRead::FAILED) return coLastErrno();
    if (got == LineRead::TOO_LONG) {
      errorLine_ = lineNo + 1;
      return LINE_TOO_LONG;
    }
    if (line.empty() && in.eof()) break;
    ++lineNo;
    line = trimLeft(trimRight(line));

    if (line.empty()) {
      pending += '\n';
      continue;
    }
    if (line[0] == '#' || line[0] == ';') {
      pending += line;
      pending += '\n';
      continue;
    }
    if (line[0] == '[') {
      // The last character closes the header, whatever it is.
      current = &section(line.size() > 1 ? line.substr(1, line.size() - 2) : std::string());
      if (!pending.empty()) current->comment = std::move(pending);
      pending.clear();
      continue;
    }
    if (current == nullptr) {
      CO_POST_WARNING("Invalid syntax: Not in section. Ignoring line %d%s%s%s", lineNo, of, file,
                      close);
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      CO_POST_WARNING("Invalid syntax: No variable value. Ignoring line %d%s%s%s", lineNo, of, file,
                      close);
      continue;
    }
    const std::string name = trimRight(line.substr(0, eq));
    if (name.empty()) {
      CO_POST_WARNING("Invalid syntax: No variable name. Ignoring line %d%s%s%s", lineNo, of, file,
                      close);
      continue;
    }
    if ((flags & READ_KEEP_DEFINED) && current->variables.count(name)) continue;
    TVariable& var = variable(*current, name);
    var.value = trimLeft(line.substr(eq + 1));
    if (!pending.empty()) var.comment = std::move(pending);
    pending.clear();
  }
  trailingComment_ = std::move(pending);
  return 0;
}

CoConfigFileReader::TSection& CoConfigFileReader::section(const std::string& name) {
  auto [it, isNew] = sections_.try_emplace(name);
  if (isNew) {
    it->second.name = name;
    sectionOrder_.push_back(name);
  }
  return it->second;
}

CoConfigFileReader::TVariable& CoConfigFileReader::variable(TSection& section,
                                                            const std::string& name) {
  auto [it, isNew] = section.variables.try_emplace(name);
  if (isNew) {
    it->second.name = name;
    section.variableOrder.push_back(name);
  }
  return it->second;
}

const CoConfigFileReader::TVariable* CoConfigFileReader::find(const char* section,
                                                              const char* name) const {
  if (section == nullptr || name == nullptr) return nullptr;
  const auto s = sections_.find(section);
  if (s == sections_.end()) return nullptr;
  const auto v = s->second.variables.find(name);
  return v == s->second.variables.end() ? nullptr : &v->second;
}

bool CoConfigFileReader::isDefined(const char* section, const char* name) const {
  return find(section, name) != nullptr;
}

bool CoConfigFileReader::get(const char* section, const char* name, std::string& value,
                             const char* defaultValue) const {
  const TVariable* var = find(section, name);
  value = var ? var->value : orEmpty(defaultValue);
  return var != nullptr;
}

std::string CoConfigFileReader::get(const char* section, const char* name,
                                    const char* defaultValue) const {
  std::string value;
  get(section, name, value, defaultValue);
  return value;
}

int CoConfigFileReader::get(const char* section, const char* name, int defaultValue) const {
  int value;
  get(section, name, value, defaultValue);
  return value;
}

double CoConfigFileReader::get(const char* section, const char* name, double defaultValue) const {
  double value;
  get(section, name, value, defaultValue);
  return value;
}

bool CoConfigFileReader::get(const char* section, const char* name, bool defaultValue) const {
  bool value;
  get(section, name, value, defaultValue);
  return value;
}

bool CoConfigFileReader::get(const char* section, const char* name, int& value,
                             int defaultValue) const {
  const TVariable* var = find(section, name);
  value = var ? static_cast<int>(std::strtol(var->value.c_str(), nullptr, 10)) : defaultValue;
  return var != nullptr;
}

bool CoConfigFileReader::get(const char* section, const char* name, unsigned int& value,
                             unsigned int defaultValue) const {
  const TVariable* var = find(section, name);
  if (var && std::sscanf(var->value.c_str(), "%u", &value) == 1) return true;
  value = defaultValue;
  return false;
}

bool CoConfigFileReader::get(const char* section, const char* name, double& value,
                             double defaultValue) const {
  const TVariable* var = find(section, name);
  value = var ? std::atof(var->value.c_str()) : defaultValue;
  return var != nullptr;
}

bool CoConfigFileReader::get(const char* section, const char* name, bool& value,
                             bool defaultValue) const {
  const TVariable* var = find(section, name);
  value = var ? StringUtil::strToBool(var->value.c_str()) : defaultValue;
  return var != nullptr;
}

void CoConfigFileReader::put(const char* section, const char* name, const char* value,
                             const char* comment) {
  TVariable& var = variable(this->section(orEmpty(section)), orEmpty(name));
  var.value = orEmpty(value);
  if (comment) var.comment = comment;
}

void CoConfigFileReader::put(const char* section, const char* name, int value,
                             const char* comment) {
  put(section, name, StringUtil::sprintf("%d", value).c_str(), comment);
}

void CoConfigFileReader::put(const char* section, const char* name, bool value,
                             const char* comment) {
  put(section, name, value ? 1 : 0, comment);
}

void CoConfigFileReader::put(const char* section, const char* name, double value,
                             const char* comment) {
  put(section, name, StringUtil::sprintf("%f", value).c_str(), comment);
}

std::vector<std::string> CoConfigFileReader::getVariableNames(const char* section) const {
  const auto s = sections_.find(orEmpty(section));
  return s == sections_.end() ? std::vector<std::string>() : s->second.variableOrder;
}

int CoConfigFileReader::write(const char* filename) const {
  // clang-format off
  QV_ASSERT(filename && filename[ 0 ]);
  // clang-format on
  if (filename == nullptr || filename[0] == '\0') return EINVAL;
  errno = 0;
  std::unique_ptr<FILE, int (*)(FILE*)> file(coOpenFile(filename, "w"), std::fclose);
  if (!file) return coLastErrno();
  FILE* out = file.get();
  for (const std::string& sectionName : sectionOrder_) {
    const TSection& s = sections_.at(sectionName);
    std::fputs(s.comment.c_str(), out);
    std::fprintf(out, "[%s]\n", s.name.c_str());
    for (const std::string& varName : s.variableOrder) {
      const TVariable& v = s.variables.at(varName);
      std::fprintf(out, "%s%s=%s\n", v.comment.c_str(), v.name.c_str(), v.value.c_str());
    }
  }
  std::fputs(trailingComment_.c_str(), out);
  if (std::ferror(out)) return coLastErrno();
  if (std::fclose(file.release()) != 0) return coLastErrno();
  return 0;
}

}  // namespace Kestrix
