#include "platform/com.h"

#include <gtest/gtest.h>

namespace {

TEST(ComTest, GuidTextRoundTrip) {
  EXPECT_EQ(com::GuidToString(com::IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
  auto g = com::GuidFromString("{cb5bdc81-93c1-11cf-8f20-00805f2cd064}");
  ASSERT_TRUE(g);
  EXPECT_EQ(*g, com::IID_IObjectSafety);
  EXPECT_EQ(com::GuidFromString("CB5BDC81-93C1-11CF-8F20-00805F2CD064"), g);
  for (const char* bad : {"", "{}", "{CB5BDC81-93C1-11CF-8F20-00805F2CD06}",
                          "{CB5BDC81-93C1-11CF-8F20-00805F2CD0G4}", "CB5BDC8193C111CF8F2000805F2CD064xxxx"})
    EXPECT_FALSE(com::GuidFromString(bad)) << bad;
}

TEST(ComTest, ShortCoercion) {
  struct Case {
    com::Variant in;
    std::optional<std::int16_t> out;
  } cases[] = {
      {std::int32_t{7}, 7},
      {2.0, 2},
      {2.5, 2},  // ties to even
      {3.5, 4},
      {std::int32_t{65537}, 1},  // 16-bit wrap
      {std::int32_t{40000}, -25536},
      {-1.0, -1},
      {std::string("12"), 12},
      {std::string(" 70000 "), 4464},
      {std::string("1abc"), std::nullopt},
      {std::string(""), std::nullopt},
      {com::Null{}, std::nullopt},
      {std::monostate{}, 0},
      {true, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(com::VariantToShort(c.in), c.out) << com::VariantToText(c.in);
}

TEST(ComTest, TextCoercion) {
  EXPECT_EQ(com::VariantToText(std::int32_t{5}), "5");
  EXPECT_EQ(com::VariantToText(5.0), "5");
  EXPECT_EQ(com::VariantToText(0.5), "0.5");
  EXPECT_EQ(com::VariantToText(true), "true");
  EXPECT_EQ(com::VariantToText(com::Null{}), "");
  EXPECT_EQ(com::VariantToText(std::monostate{}), "");
}

}  // namespace
