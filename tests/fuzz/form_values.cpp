// The form value string of the fill methods: its pieces and each piece's
// name and value.
#include "control/automation/FormValue.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string values(fuzz::Text(data, size));
  std::vector<std::string> pieces = SplitFormValues(values);
  // The pieces and the "&"s between them make up the whole string.
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) joined += (i ? "&" : "") + pieces[i];
  fuzz::Require(joined == values, "the pieces do not make up the value string");
  for (const std::string& piece : pieces) {
    FormValue field(piece);
    // A piece with "=" is its name, "=" and its value; one without has neither.
    if (piece.find('=') == std::string::npos) {
      fuzz::Require(field.sName.empty() && field.sValue.empty(), "a piece without \"=\" gave a field");
    } else {
      fuzz::Require(field.sName + "=" + field.sValue == piece, "a field lost part of its piece");
    }
  }
  return 0;
}
