#include "platform/resources.h"

#include <gtest/gtest.h>

#include "platform/text_file.h"

namespace vantrel::platform {
namespace {

TEST(Resources, ShippedConfigurationIsCompiledIn) {
  const auto configs = ExecutableResources().Find("RCDATA", "Configs");
  ASSERT_TRUE(configs.has_value());
  ASSERT_GE(configs->size(), 3u);
  EXPECT_EQ((*configs)[0], 0xEF);  // UTF-8 with a byte-order mark
  const auto lines = SplitLines(DecodeText(*configs));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "LauncherName=Launcher.exe");

  // Names are not case-sensitive; types and names must both match.
  EXPECT_TRUE(ExecutableResources().Find("rcdata", "DOWNLOADSERVERS").has_value());
  EXPECT_FALSE(ExecutableResources().Find("HTML", "Configs").has_value());
  EXPECT_FALSE(ExecutableResources().Find("RCDATA", "Missing").has_value());
}

TEST(Resources, EmptyAndBinaryEntries) {
  static const unsigned char bin[] = {0, 1, 2, 0xFF};
  static const TResourceEntry entries[] = {
      {"RCDATA", "Empty", bin, 0}, {"BIN", "Bytes", bin, 4}, {nullptr, nullptr, nullptr, 0}};
  const TResourceTable table(entries);
  ASSERT_TRUE(table.Find("RCDATA", "Empty").has_value());
  EXPECT_EQ(table.Find("RCDATA", "Empty")->size(), 0u);
  EXPECT_EQ(table.Find("BIN", "Bytes")->size(), 4u);
  EXPECT_EQ((*table.Find("BIN", "Bytes"))[3], 0xFF);
}

}  // namespace
}  // namespace vantrel::platform
