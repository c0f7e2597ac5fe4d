#include <gtest/gtest.h>

#include "control/automation/FormValue.h"

namespace {

TEST(FormValueTest, SplittingAndPieces) {
  struct Case {
    const char* values;
    std::vector<std::pair<std::string, std::string>> fields;
  } cases[] = {
      {"", {}},
      {"a=1", {{"a", "1"}}},
      {"title=flat&area=85", {{"title", "flat"}, {"area", "85"}}},
      {"a=1&&b=2", {{"a", "1"}, {"", ""}, {"b", "2"}}},
      {"&a=1", {{"", ""}, {"a", "1"}}},
      {"a=1&", {{"a", "1"}, {"", ""}}},
      {"=5&note=", {{"", "5"}, {"note", ""}}},
      {"noequals", {{"", ""}}},
      {"u=http://x/?a=b&c==", {{"u", "http://x/?a=b"}, {"c", "="}}},  // the first "=" splits
      {"k=YWJj==", {{"k", "YWJj=="}}},
      {" a = b ", {{" a ", " b "}}},  // no trimming
  };
  for (const auto& c : cases) {
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& piece : SplitFormValues(c.values)) {
      FormValue v(piece);
      got.emplace_back(v.sName, v.sValue);
    }
    EXPECT_EQ(got, c.fields) << c.values;
  }
}

}  // namespace
