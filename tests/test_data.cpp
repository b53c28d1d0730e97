// The curve data file reader, read_crv_data.  Skipped lines, number formats,
// long lines, byte order marks and point limits are end-to-end cases (data_*).
#include <gtest/gtest.h>

#include "support.h"
#include "tavfit.h"

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

// A report file is usually empty when written (the command line emptied it)
// and is then not truncated again; one that has text by then must still end
// up holding the new report only.
TEST(Reports, ReplaceWhatAFileHeld) {
  tavtest::reset_run_state();
  fitFunc = get_fit_func("LINE");
  fitParms[0] = 2.0;
  fitParms[1] = -0.5;
  rmse = 0.25;
  itCount = 3;
  const std::string path = tavtest::make_temp_dir() + "/fit.short";
  const std::string report = "          2          0\n       -0.5          0\n       0.25\n 3\n";
  for (const std::string &before : {std::string(), std::string(5000, 'x')}) {
    tavtest::write_file(path, before);
    write_short_results(path.c_str());
    EXPECT_EQ(tavtest::read_file(path), report) << before.size() << " bytes before";
  }
}

}  // namespace
