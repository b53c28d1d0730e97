// Tables read with -columns: the column list and the reader.  A whole run
// from a spreadsheet export is an end-to-end case (table_*).
#include <gtest/gtest.h>

#include "support.h"
#include "program.h"

namespace {

std::string choice_error(const char *choice) {
  ColumnChoice columns;
  std::string error;
  EXPECT_FALSE(parse_columns(choice, &columns, &error)) << choice;
  return error;
}

TEST(ColumnList, MalformedListsAreRefusedWithTheirReason) {
  const std::vector<std::pair<const char *, std::string>> cases = {
      {"x=1,y=2,z=3", "Unknown column role 'z' in -columns; use x, y, x2, sigma or curve."},
      {"x=1,y=2,X=3", "Unknown column role 'X' in -columns; use x, y, x2, sigma or curve."},
      {"x=1,y=2,x=3", "Column role 'x' given twice in -columns."},
      {"x=1", "Column role 'y' missing in -columns; x and y are required."},
      {"", "Column role 'x' missing in -columns; x and y are required."},
      {"x=1,y", "'y' in -columns is not of the form role=column."},
      {"x=1,y= ", "Column role 'y' in -columns names no column."},
      {"x=0,y=2", "Column number '0' in -columns is not one of 1, 2, 3, ..."},
      {"x=1,y=-2", "Column number '-2' in -columns is not one of 1, 2, 3, ..."},
      {"x=1,y=1.5", "Column number '1.5' in -columns is not one of 1, 2, 3, ..."},
      {"x=1,y=99999999999", "Column number '99999999999' in -columns is not one of 1, 2, 3, ..."},
      {"x=1,y=\"a,b", "Unclosed quote in -columns."},
      {"x=1,y=\"a\"b", "Text after the closing quote of 'a' in -columns."},
  };
  for (const auto &[choice, message] : cases) EXPECT_EQ(choice_error(choice), message) << choice;
}

TEST(ColumnList, ReadsNumbersNamesAndQuotedNames) {
  ColumnChoice choice;
  std::string error;
  ASSERT_TRUE(parse_columns(" y = delay time ,,x=007,sigma=\"a, \"\"b\"\"\" ,", &choice, &error))
      << error;
  EXPECT_EQ(choice.x.number, 7);
  EXPECT_EQ(choice.y.name, "delay time");
  EXPECT_EQ(choice.sigma.name, "a, \"b\"");
  EXPECT_FALSE(choice.x2.given());
  // Words that only look like numbers are names; quotes make any value a name.
  ASSERT_TRUE(parse_columns("x=nan,y=\"2\",x2=1e", &choice, &error));
  EXPECT_EQ(choice.x.name, "nan");
  EXPECT_EQ(choice.y.name, "2");
  EXPECT_EQ(choice.x2.name, "1e");
}

struct Refused {
  std::string text;
};
void throw_refused(const std::string &text) { throw Refused{text}; }

// Reads a table of the given text with the given column list; returns the
// fatal message that refused it, or "" and the points.
std::string read_text(const std::string &text, const char *columns, TableData *table) {
  static const bool hooked = (add_fatal_hook(throw_refused), true);
  (void)hooked;
  ColumnChoice choice;
  std::string error;
  EXPECT_TRUE(parse_columns(columns, &choice, &error)) << error;
  const std::string path = tavtest::make_temp_dir() + "/table.csv";
  tavtest::write_file(path, text);
  testing::internal::CaptureStdout();
  try {
    EXPECT_TRUE(read_table(path.c_str(), choice, table));
  } catch (const Refused &refused) {
    testing::internal::GetCapturedStdout();
    return refused.text;
  }
  testing::internal::GetCapturedStdout();
  return "";
}

// Each table holds the points (1, 2) and (3, 4) in its columns 1 and 3.
TEST(Table, SeparatorsQuotesAndLineEnds) {
  const std::vector<std::string> tables = {
      "1,a,2\n3,b,4\n",
      "1;a;2\n3;b;4",
      "1\ta b\t2\n3\t\t4\n",
      "  1  a   2\n\t3 b \t 4  \n",
      "\"1\",\"a,\"\"b\"\";c\",\" 2 \"\n 3 , \"\" , 4\n",
      "\"1\" \"a b\" 2\n3 \"\" 4\n",
      "\xEF\xBB\xBF# made by hand\r\n\r\n1;a;2\r\n  # 5;6;7\r\n   \r\n3;b;4\r\n",
      "x,name,y\n1,a,2\n3,b,4\n",
      "x,,y\n1,,2\n3,,4,extra,fields\n",
  };
  for (const std::string &text : tables) {
    TableData table;
    EXPECT_EQ(read_text(text, "x=1,y=3", &table), "") << text;
    EXPECT_EQ(table.x, std::vector<double>({1, 3})) << text;
    EXPECT_EQ(table.y, std::vector<double>({2, 4})) << text;
    EXPECT_EQ(table.x2, std::vector<double>({0, 0})) << text;
    EXPECT_TRUE(table.sigma.empty());
  }
}

TEST(Table, HeaderNamesChooseColumnsAndNameThemInMessages) {
  TableData table;
  const std::string csv = "\"time, s\",err,conc,y\n1,0.5,7,2\n3,0.25,8,4\n";
  EXPECT_EQ(read_text(csv, "x=\"time, s\",y=y,x2=conc,sigma=err", &table), "");
  EXPECT_EQ(table.x, std::vector<double>({1, 3}));
  EXPECT_EQ(table.y, std::vector<double>({2, 4}));
  EXPECT_EQ(table.x2, std::vector<double>({7, 8}));
  EXPECT_EQ(table.sigma, std::vector<double>({0.5, 0.25}));
  // A header is found from the chosen columns alone: 2 is a number here.
  EXPECT_EQ(read_text("1,2,c\n3,4,5\n", "x=1,y=2", &table), "");
  EXPECT_EQ(table.x, std::vector<double>({1, 3}));
  struct Refused { const char *text, *columns; std::string message; };
  const std::vector<Refused> refused = {
      {"1,2\n3,4\n", "x=1,y=y",
       "Column 'y' of -columns needs a header row; the table's first row holds numbers only."},
      {"a,\"b, c\",\n1,2,3\n", "x=1,y=y",
       "The table's header has no column 'y'; it holds 'a', 'b, c', ''."},
      {"y,y\n1,2\n", "x=1,y=y", "The table's header holds 'y' twice."},
      {"a,y\n1,2\n3\n", "x=1,y=y", "Line 3 of the table has no column 'y'."},
      {"a,y,\n1,2,n/a\n", "x=1,y=2,sigma=3",
       "Line 2, column 3 of the table holds 'n/a', not a finite number."},
      {"a,y,err\n1,2,0.5\n3,4,0\n", "x=1,y=2,sigma=err",
       "Line 3, column 'err' of the table holds '0', not a positive number."},
  };
  for (const Refused &r : refused) EXPECT_EQ(read_text(r.text, r.columns, &table), r.message);
}

TEST(Table, RowsThatCannotBeReadAreFatal) {
  TableData table;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"# c\n1 2\n\n3\n", "Line 4 of the table has no column 2."},
      {"1;2\n3;\n", "Line 2, column 2 of the table holds '', not a finite number."},
      {"1;2\n3;4,5\n", "Line 2, column 2 of the table holds '4,5', not a finite number."},
      {"1 2\n3 inf\n", "Line 2, column 2 of the table holds 'inf', not a finite number."},
      {"1 2\n3 1e999\n", "Line 2, column 2 of the table holds '1e999', not a finite number."},
      {"1,2;3\n", "The table's separator is not clear: line 1 holds both ',' and ';'."},
      {"# a;b\n1\t2,3\n", "The table's separator is not clear: line 2 holds both ',' and a tab."},
      {"1,2\n3,\"4\n5\"\n", "Line 2 of the table has a quote that is not closed on that line."},
      {"1,2\n3,4\"\n", "Line 2 of the table has a quote that does not enclose a whole field."},
      {"1,2\n3,\"4\"5\n", "Line 2 of the table has a quote that does not enclose a whole field."},
      {"1 2\n", "Error, Min data points is (2)\n"},
      {std::string("1 2\n3 4\0\n", 9), "Line 2 of the data file contains a NUL byte."},
  };
  for (const auto &[text, message] : cases)
    EXPECT_EQ(read_text(text, "x=1,y=2", &table), message) << text;
}

}  // namespace
