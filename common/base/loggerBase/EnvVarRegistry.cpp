#include "common/base/loggerBase/EnvVarRegistry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/base/loggerBase/qvAssert.h"

namespace Kestrix {

namespace EnvVarDetail {

bool parseBool(const char* text) {
  return !(std::strcmp(text, "false") == 0 || std::strcmp(text, "FALSE") == 0 ||
           std::strcmp(text, "0") == 0);
}

int parseInt(const char* text) {
  return std::atoi(text);
}

}  // namespace EnvVarDetail

// ---- BaseRegEnvVar -------------------------------------------------------

BaseRegEnvVar::~BaseRegEnvVar() = default;

void BaseRegEnvVar::registerSelf() {
  EnvVarRegistryImp::getInstance()->add(this);
}
void BaseRegEnvVar::unregisterSelf() {
  EnvVarRegistryImp::getInstance()->remove(this);
}

// Only the setter of a variable's own type may be called.
void BaseRegEnvVar::setValue(std::string) {
  QV_ASSERT(0);
}
void BaseRegEnvVar::setValue(float) {
  QV_ASSERT(0);
}
void BaseRegEnvVar::setValue(int) {
  QV_ASSERT(0);
}
void BaseRegEnvVar::setValue(bool) {
  QV_ASSERT(0);
}

template <>
void RegEnvVar<bool>::toStr(const bool& value, char* buffer, int size) {
  std::snprintf(buffer, static_cast<size_t>(size), "%s", value ? "true" : "false");
}
template <>
void RegEnvVar<int>::toStr(const int& value, char* buffer, int size) {
  std::snprintf(buffer, static_cast<size_t>(size), "%d", value);
}
template <>
void RegEnvVar<std::string>::toStr(const std::string& value, char* buffer, int size) {
  std::snprintf(buffer, static_cast<size_t>(size), "%s", value.c_str());
}

template <typename T>
void RegEnvVar<T>::setByName(const char* name, const T& value) {
  EnvVarRegistry* registry = EnvVarRegistry::getInstance();
  for (int index : registry->search(name, EnvVarRegistry::FIELD_NAME, true)) {
    BaseRegEnvVar* ev = registry->getEnvVar(index);
    QV_ASSERT(ev->getType() == typeCode());
    ev->setValue(value);
  }
}

template class RegEnvVar<bool>;
template class RegEnvVar<int>;
template class RegEnvVar<std::string>;

std::string RegEnvView::value() const {
  const char* text = std::getenv(name_);
  return text ? text : default_;
}

void RegEnvView::getValueAsStr(char* buffer, int size) const {
  std::snprintf(buffer, static_cast<size_t>(size), "%s", value().c_str());
}

void RegEnvView::getDefaultValueAsStr(char* buffer, int size) const {
  std::snprintf(buffer, static_cast<size_t>(size), "%s", default_);
}

void RegEnvView::print(std::ostream& out) const {
  out << "file : " << file_ << std::endl;
  out << "name : " << name_ << std::endl;
  out << "value : " << value() << std::endl;
}

// ---- EnvVarRegistryImp ---------------------------------------------------

EnvVarRegistry* EnvVarRegistry::getInstance() {
  return EnvVarRegistryImp::getInstance();
}

EnvVarRegistryImp* EnvVarRegistryImp::getInstance() {
  // Never destroyed: wrappers unregister themselves during exit.
  static EnvVarRegistryImp* instance = new EnvVarRegistryImp;
  return instance;
}

BaseRegEnvVar* EnvVarRegistryImp::getEnvVar(int index) const {
  QV_ASSERT(index < static_cast<int>(_vars.size()) && index >= 0);
  return _vars[static_cast<size_t>(index)];
}

void EnvVarRegistryImp::remove(BaseRegEnvVar* var) {
  auto it = std::find(_vars.begin(), _vars.end(), var);
  if (it != _vars.end()) _vars.erase(it);
}

void EnvVarRegistryImp::getFieldValueAsStr(char* buffer, int field, int index) const {
  QV_ASSERT(index < static_cast<int>(_vars.size()) && index >= 0);
  if (buffer == nullptr) return;
  buffer[0] = '\0';
  const BaseRegEnvVar* ev = _vars[static_cast<size_t>(index)];
  if (ev == nullptr) return;
  constexpr int kSize = 128;
  switch (field) {
    case FIELD_NAME:
      std::snprintf(buffer, kSize, "%s", ev->getName());
      break;
    case FIELD_VALUE:
      ev->getValueAsStr(buffer, kSize);
      break;
    case FIELD_DEFAULT:
      ev->getDefaultValueAsStr(buffer, kSize);
      break;
    case FIELD_FILE:
      std::snprintf(buffer, kSize, "%s", ev->getFile().c_str());
      break;
    default:
      QV_ASSERT(0);
  }
}

namespace {
std::string upper(const char* text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}
}  // namespace

std::list<int> EnvVarRegistryImp::search(const char* text, int field, bool exact) {
  std::list<int> found;
  if (text == nullptr || *text == '\0') return found;
  const std::string wanted = exact ? std::string(text) : upper(text);
  char buffer[128];
  for (int i = 0; i < getNumElements(); ++i) {
    getFieldValueAsStr(buffer, field, i);
    const bool match = exact ? wanted == buffer : upper(buffer).find(wanted) != std::string::npos;
    if (match) found.push_back(i);
  }
  return found;
}

void EnvVarRegistryImp::dump(std::ostream& out) const {
  for (const BaseRegEnvVar* ev : _vars) {
    out << std::endl;
    ev->print(out);
  }
}

void EnvVarRegistryImp::dumpHtml(std::ostream& out) const {
  out << "<html>" << std::endl << "<body>" << std::endl << "<table border=1>" << std::endl;
  out << "<tr>" << std::endl
      << "<th colspan=3>"
      << "Environnement Variables"
      << "</th>" << std::endl
      << "</tr>" << std::endl;
  out << "<tr>" << std::endl;
  for (const char* title : {"Name", "Value", "File"})
    out << "<td align=center>"
        << "<font size=+1>" << title << "</font>"
        << "</td>";
  out << std::endl << "</tr>" << std::endl;
  for (const BaseRegEnvVar* ev : _vars) {
    char value[128] = "(null)";
    ev->getValueAsStr(value, sizeof value);
    out << "<tr>" << std::endl
        << "<td align=left>" << ev->getName() << "</td>"
        << "<td align=center>" << value << "</td>"
        << "<td align=left>" << ev->getFile() << "</td>" << std::endl
        << "</tr>" << std::endl;
  }
  out << "</table>" << std::endl << "</body>" << std::endl << "</html>";
}

}  // namespace Kestrix
