#include "monitor/MonitorLink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tov {
namespace {

TEST(BackgroundSwitch, OnlyAnIntroducerAndALowerCaseBCount) {
  struct Case {
    const char* param;
    bool counts;
  };
  const Case cases[] = {
      {"-b", true},  {"/b", true},   {"|b", true},  {"-B", false}, {"/B", false}, {"b", false},  {"--b", false},
      {"-bb", false}, {"-b ", false}, {"-", false},  {"", false},   {"+b", false}, {"\\b", false}, {"//b", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsBackgroundSwitch(c.param), c.counts) << '"' << c.param << '"';
}

TEST(BackgroundSwitch, AnyParameterButTheProgramNameCounts) {
  const char* only_program[] = {"-b"};
  EXPECT_FALSE(HasBackgroundSwitch(1, only_program));
  const char* later[] = {"Tovwatch", "-x", "/b"};
  EXPECT_TRUE(HasBackgroundSwitch(3, later));
  const char* none[] = {"Tovwatch", "-B", "b"};
  EXPECT_FALSE(HasBackgroundSwitch(3, none));
}

}  // namespace
}  // namespace tov
