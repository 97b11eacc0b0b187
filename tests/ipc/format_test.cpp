// Formatting into strings: success replaces the output, any mismatch yields the marker, and the
// mismatch report lists the format and each argument it can show.
#include <gtest/gtest.h>

#include <string>

#include "format/fmt_helpers.h"

namespace {

const std::string HEADER = "ERROR: args not compatible with format string\nformat: ";

TEST(FormatHelpers, FittingFormatsReplaceTheOutputAndMismatchesYieldTheMarker) {
  std::string out = "old content";
  EXPECT_TRUE(KORVEL::fmt_sprintf_helper(out, "%s (%ld) is not responding",
                                         fmt::make_printf_args("child", 42L)));
  EXPECT_EQ(out, "child (42) is not responding");
  EXPECT_TRUE(KORVEL::fmt_format_helper(out, "{} of {}", fmt::make_format_args(1, "two")));
  EXPECT_EQ(out, "1 of two");

  out = "old content";
  EXPECT_FALSE(KORVEL::fmt_sprintf_helper(out, "%d", fmt::make_printf_args("abc")));
  EXPECT_EQ(out, "(unprintable)");
  out.clear();
  EXPECT_FALSE(KORVEL::fmt_format_helper(out, "{1}", fmt::make_format_args(7)));
  EXPECT_EQ(out, "(unprintable)");
  out.clear();
  EXPECT_FALSE(KORVEL::fmt_format_helper(out, "{", fmt::make_format_args()));
  EXPECT_EQ(out, "(unprintable)");
  out.clear();
  EXPECT_FALSE(KORVEL::fmt_sprintf_helper(out, "%s %s", fmt::make_printf_args("one")));
  EXPECT_EQ(out, "(unprintable)");
}

TEST(FormatHelpers, ReportShowsTheFormatLiterallyAndEachArgumentOrItsMarker) {
  std::string out = "old content";
  KORVEL::fmt_args_error(out, "%d", 1, fmt::make_format_args("abc"));
  EXPECT_EQ(out, HEADER + "%d\narg[0]: abc\n");
  KORVEL::fmt_args_error(out, "{0} {x} %s }", 0, fmt::make_format_args());
  EXPECT_EQ(out, HEADER + "{0} {x} %s }\n");

  int value = 0;
  const void* pointer = &value;
  KORVEL::fmt_args_error(out, "%d %d %d %d %d", 5,
                         fmt::make_format_args(-12, pointer, true, 0.5, std::string("text")));
  EXPECT_EQ(out, HEADER + "%d %d %d %d %d\narg[0]: -12\narg[1]: " + fmt::format("{}", pointer) +
                     "\narg[2]: true\narg[3]: 0.5\narg[4]: text\n");

  // A count larger than the arguments, and a null text: marked, and the report goes on.
  KORVEL::fmt_args_error(out, "%s %s %s", 3, fmt::make_format_args("only"));
  EXPECT_EQ(out, HEADER + "%s %s %s\narg[0]: only\narg[1]: (unprintable)\narg[2]: (unprintable)\n");
  const char* null_text = nullptr;
  KORVEL::fmt_args_error(out, "%s %d", 2, fmt::make_format_args(null_text, 3));
  EXPECT_EQ(out, HEADER + "%s %d\narg[0]: (unprintable)\narg[1]: 3\n");
}

}  // namespace
