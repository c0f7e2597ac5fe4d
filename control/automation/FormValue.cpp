#include "control/automation/FormValue.h"

FormValue::FormValue(std::string piece) {
  std::size_t eq = piece.find('=');
  if (eq == std::string::npos) return;
  sName = piece.substr(0, eq);
  sValue = piece.substr(eq + 1);
}

std::vector<std::string> SplitFormValues(const std::string& values) {
  std::vector<std::string> pieces;
  const std::size_t n = values.size();
  std::size_t start = 0;
  for (std::size_t i = 0; i < n; ++i) {
    // At an "&": the piece before it.
    if (values[i] == '&') {
      pieces.push_back(values.substr(start, i - start));
      start = i + 1;
    }
    // At the last position: the rest.
    if (i == n - 1) pieces.push_back(values.substr(start));
  }
  return pieces;
}
