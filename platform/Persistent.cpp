#include "platform/Persistent.h"

namespace tov {

TPersistent::~TPersistent() = default;

void TPersistent::Assign(const TPersistent* source) {
  if (source == nullptr) AssignError(nullptr);
  source->AssignTo(*this);
}

void TPersistent::AssignTo(TPersistent& dest) const { dest.AssignError(this); }

void TPersistent::AssignError(const TPersistent* source) const {
  std::string_view sourceName = source != nullptr ? source->ClassName() : "nil";
  throw EConvertError(Format("Cannot assign a %s to a %s", {sourceName, std::string_view(ClassName())}));
}

}  // namespace tov
