// Formatting into strings: success replaces the output, any mismatch yields the marker, and the
// mismatch report lists the format literally and each argument it can show.
#include <gtest/gtest.h>

#include <string>

#include "format/fmt_helpers.h"

namespace {

using KORVEL::fmt_format_helper;
using KORVEL::fmt_sprintf_helper;

TEST(FormatHelpers, FittingFormatsReplaceTheOutputAndMismatchesYieldTheMarker) {
  std::string out = "old content";
  EXPECT_TRUE(fmt_sprintf_helper(out, "%s (%ld)", fmt::make_printf_args("child", 42L)));
  EXPECT_EQ(out, "child (42)");
  EXPECT_TRUE(fmt_format_helper(out, "{} of {}", fmt::make_format_args(1, "two")));
  EXPECT_EQ(out, "1 of two");
  EXPECT_FALSE(fmt_sprintf_helper(out, "%d", fmt::make_printf_args("abc")));
  EXPECT_EQ(out, "(unprintable)");
  out.clear();
  EXPECT_FALSE(fmt_format_helper(out, "{1}", fmt::make_format_args(7)));
  EXPECT_EQ(out, "(unprintable)");
}

TEST(FormatHelpers, ReportShowsTheFormatLiterallyAndEachArgumentOrItsMarker) {
  std::string out = "old content";
  const char* null_text = nullptr;
  // More arguments counted than given, and a null text: each marked, and the report goes on.
  KORVEL::fmt_args_error(out, "{0} {x} %s }", 4, fmt::make_format_args(-12, null_text, true));
  EXPECT_EQ(out,
            "ERROR: args not compatible with format string\nformat: {0} {x} %s }\narg[0]: -12\n"
            "arg[1]: (unprintable)\narg[2]: true\narg[3]: (unprintable)\n");
}

}  // namespace
