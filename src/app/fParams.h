// The parameter dialog of a processing step: one numeric field per parameter (within its
// limits) and, for steps that take one, a text field.
#pragma once

#include <functional>

#include "processing/uFilMan.h"

class QWidget;

namespace orlu {

class TParamDialogQt : public IParameterDialog {
 public:
  explicit TParamDialogQt(QWidget* parent) : Parent_(parent) {}
  bool Ask(const TParamDialog& dialog, std::vector<double>& values, std::string& text) override;
  // Test hook: answers instead of the dialog (same contract as Ask).
  static std::function<bool(const TParamDialog&, std::vector<double>&, std::string&)>& Hook();

 private:
  QWidget* Parent_;
};

}  // namespace orlu
