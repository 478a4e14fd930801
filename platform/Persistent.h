// The class library's persistent base class, as far as the programs use it:
// objects that can copy themselves from another object of a kind they know.
#pragma once

#include "platform/SysUtils.h"

namespace tov {

class TPersistent {
 public:
  TPersistent() = default;
  virtual ~TPersistent();
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;

  virtual const char* ClassName() const { return "TPersistent"; }
  // Copies source into this object. The base asks source to assign itself to
  // this one; when neither side knows the other (or source is null) it raises
  // EConvertError "Cannot assign a <source class> to a <this class>".
  virtual void Assign(const TPersistent* source);

 protected:
  // Copies this object into dest; the base raises the error described above.
  virtual void AssignTo(TPersistent& dest) const;
  [[noreturn]] void AssignError(const TPersistent* source) const;
};

}  // namespace tov
