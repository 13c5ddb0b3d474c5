#pragma once
// The process-wide list of registered environment variables: listed,
// searched, printed and set by name (for diagnostics and for setters such as
// CoMsg::setVerboseFlag). Registration happens during static initialisation,
// before threads exist, so the registry has no lock.

#include <list>
#include <ostream>
#include <vector>

#include "common/base/loggerBase/EnvVar.h"

namespace Kestrix {

class EnvVarRegistry {
 public:
  enum Field { FIELD_NAME = 0, FIELD_VALUE = 1, FIELD_DEFAULT = 2, FIELD_FILE = 3 };

  virtual ~EnvVarRegistry() = default;
  virtual BaseRegEnvVar* getEnvVar(int index) const = 0;
  // Indices, in registration order, of the entries whose field matches text:
  // exactly, or (exact false) as a case-insensitive substring.
  virtual std::list<int> search(const char* text, int field, bool exact) = 0;
  virtual int getNumElements() const = 0;
  virtual void remove(BaseRegEnvVar* var) = 0;
  virtual void dump(std::ostream& out) const = 0;
  virtual void dumpHtml(std::ostream& out) const = 0;

  static EnvVarRegistry* getInstance();
};

class EnvVarRegistryImp : public EnvVarRegistry {
 public:
  BaseRegEnvVar* getEnvVar(int index) const override;
  std::list<int> search(const char* text, int field, bool exact) override;
  int getNumElements() const override { return static_cast<int>(_vars.size()); }
  void remove(BaseRegEnvVar* var) override;
  void dump(std::ostream& out) const override;
  void dumpHtml(std::ostream& out) const override;

  void add(BaseRegEnvVar* var) { _vars.push_back(var); }
  // Writes at most 127 characters of the field into buffer (128 bytes).
  void getFieldValueAsStr(char* buffer, int field, int index) const;

  static EnvVarRegistryImp* getInstance();

 private:
  std::vector<BaseRegEnvVar*> _vars;
};

}  // namespace Kestrix
