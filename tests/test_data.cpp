// The curve data file reader, read_crv_data.  Skipped lines, number formats,
// long lines, byte order marks and point limits are end-to-end cases (data_*).
#include <gtest/gtest.h>

#include "support.h"
#include "program.h"

namespace {

// Each row: what follows "1 2" and "3 4" on the two lines, the columns this
// gives and the X2 stored; X2 starts at 99 so that a stored 0.0 shows.
TEST(CurveData, FieldCountOfTheLinesFixesColumnsAndX2) {
  const std::string fits(124, 'w'), huge(300, 'w');
  struct Row { std::string tail; double columns, x2; };
  const std::vector<Row> rows = {
      {"", 2, 0}, {" w 5", 2, 0}, {" 5", 3, 5}, {" 5 a", 2, 5}, {" 5 a b c", 3, 5},
      {" 5 " + fits + " " + fits, 3, 5},
      // Commas after a word or before text are no decimal commas.
      {" some,text", 2, 0}, {" 5,x", 2, 5}, {" 5 a,b c", 3, 5},
      // A word keeps at most 255 characters; the rest of it is the next word.
      {" 5 " + huge, 3, 5},
  };
  const std::string path = tavtest::make_temp_dir() + "/curve.dat";
  static double x[kMaxData], y[kMaxData], x2[kMaxData];
  for (const Row &row : rows) {
    tavtest::write_file(path, "1 2" + row.tail + "\n3 4" + row.tail + "\n");
    for (double &value : x2) value = 99.0;
    int count = 0, columns = 0;
    EXPECT_EQ(read_crv_data(path.c_str(), x, y, x2, &count, &columns), 1);
    const std::vector<double> got = {1.0 * count, 1.0 * columns, x[0], y[0], x[1], y[1], x2[0],
                                     x2[1]};
    EXPECT_EQ(got, std::vector<double>({2, row.columns, 1, 2, 3, 4, row.x2, row.x2}))
        << "'" << row.tail.substr(0, 20) << "'";
  }
}

struct Refused {
  std::string text;
};
void throw_refused(const std::string &text) { throw Refused{text}; }

// Reads a file of the given text; returns the fatal message that refused it,
// or "" and the points read, X and Y.
std::string read_text(const std::string &text, std::vector<double> *points = nullptr) {
  static const bool hooked = (add_fatal_hook(throw_refused), true);
  (void)hooked;
  static double x[kMaxData], y[kMaxData], x2[kMaxData];
  const std::string path = tavtest::make_temp_dir() + "/curve.dat";
  tavtest::write_file(path, text);
  int count = 0, columns = 0;
  testing::internal::CaptureStdout();
  try {
    EXPECT_EQ(read_crv_data(path.c_str(), x, y, x2, &count, &columns), 1);
  } catch (const Refused &refused) {
    testing::internal::GetCapturedStdout();
    return refused.text;
  }
  testing::internal::GetCapturedStdout();
  for (int i = 0; points != nullptr && i < count; ++i) points->insert(points->end(), {x[i], y[i]});
  return "";
}

std::string utf16(const std::string &ascii, bool bigEndian) {
  std::string text;
  for (char c : ascii) text += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
  return text;
}

TEST(CurveData, RefusesNulBytesAndUtf16) {
  using namespace std::string_literals;
  const std::string utf16Message = "The data file is UTF-16 text; save it as UTF-8.";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"1 2\n3\0 4\n5 6\n"s, "Line 2 of the data file contains a NUL byte."},
      {"# a\0b\n1 2\n3 4\n"s, "Line 1 of the data file contains a NUL byte."},
      {"\xFF\xFE" + utf16("1 2\r\n3 4\r\n", false), utf16Message},
      {"\xFE\xFF" + utf16("1 2\n3 4\n", true), utf16Message},
      {"\xFF\xFE\x2D\x4E\n1 2\n3 4\n", utf16Message},
      {utf16("1 2\n3 4\n", false), utf16Message},
      {utf16("\n1 2\n3 4\n", true), utf16Message},
  };
  for (const auto &file : files)
    EXPECT_EQ(read_text(file.first), file.second) << testing::PrintToString(file.first);
}

// Lines of up to 1048576 characters are read whole, also where one ends the
// file or spans two reads of the reader's buffer; comments are no exception.
TEST(CurveData, LinesLongerThanOneMebibyteAreRefused) {
  const std::string longest = "1" + std::string(1048574, ' ') + "2";
  const std::string tooLong = "Line 2 of the data file is longer than 1048576 characters.";
  std::vector<double> points;
  EXPECT_EQ(read_text("# short\n" + longest + "\n5 6", &points), "");
  EXPECT_EQ(read_text("5 6\n" + longest, &points), "");
  EXPECT_EQ(points, std::vector<double>({1, 2, 5, 6, 5, 6, 1, 2}));
  EXPECT_EQ(read_text("# short\n" + longest + " \n5 6\n"), tooLong);
  EXPECT_EQ(read_text("5 6\n#" + longest), tooLong);
}

}  // namespace
