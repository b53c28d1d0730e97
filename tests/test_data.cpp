// The curve data file reader, read_crv_data.
#include <algorithm>

#include <gtest/gtest.h>

#include "support.h"
#include "tavfit.h"

namespace {

struct Curve {
  int status = -1, count = 0, columns = 0;
  std::vector<double> x, y, x2;
};

// Writes text to a fresh file and reads it; X2 starts at 99 everywhere so that
// the stored 0.0 of lines without a third number shows.
Curve read_text(const std::string &text) {
  const std::string path = tavtest::make_temp_dir() + "/curve.dat";
  tavtest::write_file(path, text);
  static double x[kMaxData], y[kMaxData], x2[kMaxData];
  std::fill(x2, x2 + kMaxData, 99.0);
  Curve c;
  c.status = read_crv_data(path.c_str(), x, y, x2, &c.count, &c.columns);
  c.x.assign(x, x + c.count);
  c.y.assign(y, y + c.count);
  c.x2.assign(x2, x2 + c.count);
  return c;
}

std::string padded(const std::string &text, size_t width) {
  return text + std::string(width - text.size(), ' ');
}

TEST(CurveData, FieldCountOfTheLinesFixesTheColumns) {
  struct Row { std::string text; int columns; std::vector<double> x2; };
  const std::vector<Row> rows = {
      {"1 2\n3 4\n", 2, {0, 0}},
      {"1 2 word\n3 4 w 5\n", 2, {0, 0}},
      {"1 2 5\n3 4 6\n", 3, {5, 6}},
      {"1 2 5 a\n3 4 6 7\n", 2, {5, 6}},
      {"1 2 5 a b\n3 4 6 7 8 9 10\n", 3, {5, 6}},
  };
  for (const Row &row : rows) {
    const Curve c = read_text(row.text);
    EXPECT_EQ(c.status, 1) << row.text;
    EXPECT_EQ(c.columns, row.columns) << row.text;
    EXPECT_EQ(c.x, std::vector<double>({1, 3})) << row.text;
    EXPECT_EQ(c.y, std::vector<double>({2, 4})) << row.text;
    EXPECT_EQ(c.x2, row.x2) << row.text;
  }
}

TEST(CurveData, LinesWithoutAPointAreSkippedWithoutBreakingTheNumbering) {
  const Curve c = read_text(
      "# 9 9\n1 10\n\ntext 5 6\n5\n1,2\n3 x\n # 7 8\n2 20\n\t \n#\n3 30");
  EXPECT_EQ(c.count, 3);
  EXPECT_EQ(c.x, std::vector<double>({1, 2, 3}));
  EXPECT_EQ(c.y, std::vector<double>({10, 20, 30}));
}

TEST(CurveData, NumbersAreReadAsFormattedInputReadsThem) {
  // Hexadecimal floating point; numbers run together split where a new one
  // must begin.
  const Curve c = read_text("0x1p1 3\n1e1-2\n1.5.5\n-.5+4\n");
  EXPECT_EQ(c.x, std::vector<double>({2, 10, 1.5, -0.5}));
  EXPECT_EQ(c.y, std::vector<double>({3, -2, 0.5, 4}));
}

TEST(CurveData, LongLinesAreReadInPiecesOf255Characters) {
  // A 300-character line whose second piece holds a point of its own, and a
  // comment whose tail beyond 255 characters is read as a data line.
  const std::string twoPoints = padded("1 10", 255) + padded("2 20", 45) + "\n";
  const std::string comment = "#" + std::string(254, 'c') + "7 70\n";
  const Curve c = read_text(twoPoints + comment + "3 30\n");
  EXPECT_EQ(c.x, std::vector<double>({1, 2, 7, 3}));
  EXPECT_EQ(c.y, std::vector<double>({10, 20, 70, 30}));
}

TEST(CurveData, LongTrailingWordsAreReadSafely) {
  // Exactly 255 characters: both words fit in the piece, five fields.
  const std::string full = "1 2 3 " + std::string(124, 'a') + " " + std::string(124, 'b') + "\n";
  Curve c = read_text(full + full);
  EXPECT_EQ(c.count, 2);
  EXPECT_EQ(c.columns, 3);
  // Words of 300 characters: the first piece ends inside the first word, so
  // the line has four fields; the rest of the line carries no number.
  const std::string huge = "4 5 6 " + std::string(300, 'a') + " " + std::string(300, 'b') + "\n";
  c = read_text(huge + huge);
  EXPECT_EQ(c.count, 2);
  EXPECT_EQ(c.columns, 2);
  EXPECT_EQ(c.x2, std::vector<double>({6, 6}));
}

}  // namespace
