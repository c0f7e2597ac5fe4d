// Form filling of one field on a form of the engine's test double: the
// scan of a radio or checkbox group (its first ten elements, every one
// whose value matches clicked), and a plain input's value.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>

#include "control/automation/enumIE.h"
#include "tests/automation/dom_test_double.h"

namespace {

using testdouble::Log;
using testdouble::Make;
using testdouble::TestDoubleForm;
using testdouble::TestDoubleInput;
using testdouble::TestDoubleSpan;
using Member = com::ComPtr<com::IUnknown>;

// One element of a group: 'r'/'c' a radio/checkbox with that value,
// 'x' an item call that fails, 's' an element that is no input.
struct MemberShape {
  char kind;
  const char* value = "";
};

Member Input(const std::string& type, const std::string& value, const std::string& label, Log* log) {
  return Member::Adopt(static_cast<engine::Element*>(Make<TestDoubleInput>(type, value, label, log).Detach()));
}

Member MakeMember(const MemberShape& shape, int index, Log* log) {
  const std::string label = "g#" + std::to_string(index);
  switch (shape.kind) {
    case 'r': return Input("radio", shape.value, label, log);
    case 'c': return Input("CheckBox", shape.value, label, log);
    case 's': return Member(Make<TestDoubleSpan>());
    default: return nullptr;
  }
}

struct GroupCase {
  const char* label;
  std::vector<MemberShape> group;
  const char* value;
  Log clicks;
};

TEST(FillField, GroupScanClicksEveryMatchAmongTheFirstTen) {
  const std::vector<MemberShape> twelve = {{'r', "a"}, {'r', "b"}, {'r', "c"}, {'r', "d"}, {'r', "e"}, {'r', "f"},
                                    {'r', "g"}, {'r', "h"}, {'r', "i"}, {'r', "k"}, {'r', "K"}, {'r', "k"}};
  const GroupCase cases[] = {
      {"the value matches in any case", {{'r', "no"}, {'r', "YES"}, {'r', "maybe"}}, "yes", {"click g#1"}},
      {"every matching checkbox is clicked", {{'c', "on"}, {'c', "off"}, {'c', "On"}}, "on", {"click g#0", "click g#2"}},
      // Elements 10 and 11 match too, but lie past the scan.
      {"only the first ten elements", twelve, "k", {"click g#9"}},
      {"an item that fails is passed over", {{'r', "a"}, {'x'}, {'r', "z"}}, "z", {"click g#2"}},
      {"an element that is no input ends the group", {{'r', "a"}, {'s'}, {'r', "z"}}, "z", {}},
      {"the end of the group ends the scan", {{'r', "a"}}, "a", {"click g#0"}},
      {"no match clicks nothing", {{'r', "a"}, {'r', "b"}}, "z", {}},
  };
  for (const auto& c : cases) {
    Log log;
    auto form = Make<TestDoubleForm>();
    for (std::size_t i = 0; i < c.group.size(); ++i)
      form->fields["g"].push_back(MakeMember(c.group[i], static_cast<int>(i), &log));
    enumIE e;
    e.fillField("g", c.value, form.Get());
    EXPECT_EQ(e.nFillStatus, STATUS_GROUP_SCANNED) << c.label;
    EXPECT_EQ(log, c.clicks) << c.label;
  }
}

TEST(FillField, AnyOtherInputGetsItsValueAndAFailedLookupRecords23) {
  Log log;
  auto form = Make<TestDoubleForm>();
  form->fields["t"].push_back(Input("text", "old", "t", &log));
  form->fields["bad"].push_back(nullptr);
  enumIE e;
  e.fillField("t", "new", form.Get());
  EXPECT_EQ(e.nFillStatus, STATUS_DONE);
  EXPECT_EQ(log, Log{"value t=new"});
  e.fillField("bad", "x", form.Get());
  EXPECT_EQ(e.nFillStatus, STATUS_FIELD_LOOKUP);
}

// The form's engine sets the fields in batches: what each batch did is
// recorded in order, a piece it hands back goes to the field step, and a
// batch that fails leaves the code of a failed lookup.
struct Worker : enumIE {
  using enumIE::fillFields;
};

TEST(FillFields, BatchesAreRecordedInOrderAndAPieceHandedBackGoesToTheFieldStep) {
  using engine::FieldOutcome;
  Log log;
  auto form = Make<TestDoubleForm>();
  form->fields["up"].push_back(Input("file", "", "up", &log));
  std::vector<std::vector<std::string>> batches;  // the names each batch was handed
  form->batch = [&](std::span<const engine::FieldValue> pieces, std::vector<FieldOutcome>* outcomes) {
    batches.emplace_back();
    for (const auto& p : pieces) batches.back().push_back(p.name);
    // The first batch stops before "up"; the second fills what is left.
    if (batches.size() == 1) *outcomes = {FieldOutcome::GroupScanned};
    else *outcomes = {FieldOutcome::ValueSet, FieldOutcome::NotAnInput};
    return com::S_OK;
  };
  // A file the file input can be given.
  const std::string photo = testing::TempDir() + "fillfields-photo.jpg";
  { std::ofstream(photo) << "photo"; }
  Worker w;
  w.fillFields({FormValue("kind=m"), FormValue("up=" + photo), FormValue("title=t"), FormValue("city=b")}, form.Get());
  EXPECT_EQ(batches, (std::vector<std::vector<std::string>>{{"kind", "up", "title", "city"}, {"title", "city"}}));
  EXPECT_EQ(log, Log{"files up=" + photo});
  std::remove(photo.c_str());
  EXPECT_EQ(w.nFillStatus, STATUS_DONE);  // the select says nothing after the text's 0

  form->batch = [](std::span<const engine::FieldValue>, std::vector<FieldOutcome>*) { return engine::E_GONE; };
  Worker gone;
  gone.fillFields({FormValue("title=t")}, form.Get());
  EXPECT_EQ(gone.nFillStatus, STATUS_FIELD_LOOKUP);
}

}  // namespace
