// One piece of a form value string ("name=value"), and the splitting of a
// whole value string into its pieces.
#pragma once

#include <string>
#include <vector>

class FormValue {
 public:
  FormValue() = default;
  // Splits the piece at its first "=": the value keeps any further "="
  // (addresses with query strings, base64 padding arrive whole). A piece
  // without "=" leaves both fields empty.
  explicit FormValue(std::string piece);
  virtual ~FormValue() = default;
  FormValue(const FormValue&) = default;
  FormValue& operator=(const FormValue&) = default;

  std::string sName;
  std::string sValue;
};

// The pieces between the "&"s, every one of them, empty ones included: an
// empty string gives none, "a=1&" gives "a=1" and "".
std::vector<std::string> SplitFormValues(const std::string& values);
