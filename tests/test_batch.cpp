// Many curves in one run: the rows are the library's one-curve fits, in
// table order, the same bytes for any number of threads or shards, and a
// run that stops part-way goes on with -resume.
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <tavfit/tavfit.h>

#include "support.h"

namespace {

const double kDelays[] = {0.01, 0.05, 0.1, 0.2, 0.35, 0.5, 0.75, 1, 1.5, 2, 3.5, 6};

// Inversion-recovery curves of their own Mo, W and T1, with a fixed pseudo-
// noise, as a tab-separated table "curve delay intensity"; rows of curve i
// are its 12 points, in the order the curves are listed.
std::string t1_table(int curves, const std::vector<int> &order = {}) {
  std::string text = "curve\tdelay\tintensity\n";
  for (int c = 0; c < curves; ++c) {
    const int i = order.empty() ? c : order[c];
    const double mo = 600 + 37 * i % 800, w = 1.85 + 0.01 * (i % 10), t1 = 0.4 + 0.07 * (i % 30);
    for (int k = 0; k < 12; ++k) {
      const double y = mo * (1 - w * std::exp(-kDelays[k] / t1)) + 0.01 * mo * std::sin(7.0 * i + k);
      std::ostringstream row;
      row.precision(17);
      row << "c" << i << "\t" << kDelays[k] << "\t" << y << "\n";
      text += row.str();
    }
  }
  return text;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fields_of(const std::string &line, char sep = '\t') {
  std::vector<std::string> fields(1);
  for (char c : line)
    if (c == sep)
      fields.emplace_back();
    else
      fields.back() += c;
  return fields;
}

tavtest::RunResult batch(const std::string &dir, const std::string &table,
                         const std::string &results, std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"-batch", table, "-columns",
                                   "curve=curve,x=delay,y=intensity", "-fit", "T1_RELAX",
                                   "-parms", "1000:1.9:1", "-results", results};
  args.insert(args.end(), more.begin(), more.end());
  return tavtest::run_tavfit(args, dir);
}

// Each row holds what the library's fit of that curve alone gives, to the
// last bit (the numbers read back as the same doubles), in the order the
// curves first appear; a curve that cannot be fitted is a failed row, and
// the run says how many failed.
TEST(Batch, RowsAreTheOneCurveFitsInTableOrder) {
  const std::string dir = tavtest::make_temp_dir();
  std::string table = t1_table(3, {2, 0, 1});
  table += "short\t0.5\t1\n";  // one point: no fit
  tavtest::write_file(dir + "/t.tsv", table);
  for (const char *method : {"-tavrin", "-levmar", "-ceres"}) {
    if (std::string(method) == "-ceres" && !TAVFIT_HAVE_CERES) continue;
    const tavtest::RunResult run = batch(dir, "t.tsv", "r.tsv", {method});
    EXPECT_EQ(run.status, 1) << method;
    EXPECT_EQ(run.out, "1 of 4 curves failed.\n");
    EXPECT_EQ(run.err, "");  // no progress where standard error is not a terminal
    const std::vector<std::string> rows = lines_of(tavtest::read_file(dir + "/r.tsv"));
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0],
              "curve\tstatus\tmessage\tMo\tMo_sd\tW\tW_sd\tT1\tT1_sd\tn\tsse\trmse\tr_squared\t"
              "aic\tbic\titerations\tcheck\tcheck_distance_sd");
    const tavfit::Method m = std::string(method) == "-levmar"  ? tavfit::Method::Levmar
                             : std::string(method) == "-ceres" ? tavfit::Method::Ceres
                                                               : tavfit::Method::Tavrin;
    for (int r = 0; r < 3; ++r) {
      const std::vector<std::string> f = fields_of(rows[1 + r]);
      const int i = (r + 2) % 3;  // c2, c0, c1
      EXPECT_EQ(f[0], "c" + std::to_string(i));
      tavfit::Curve curve;
      for (const std::string &line : lines_of(t1_table(3)))
        if (line.rfind("c" + std::to_string(i) + "\t", 0) == 0) {
          const std::vector<std::string> p = fields_of(line);
          curve.x.push_back(std::strtod(p[1].c_str(), nullptr));
          curve.y.push_back(std::strtod(p[2].c_str(), nullptr));
        }
      const tavfit::FitResult alone =
          tavfit::fit({*tavfit::find_model("T1_RELAX"), curve, {1000, 1.9, 1}}, m);
      ASSERT_TRUE(alone.ok);
      EXPECT_EQ(f[1], "ok");
      for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(std::strtod(f[3 + 2 * k].c_str(), nullptr), alone.value[k]) << method << k;
        EXPECT_EQ(std::strtod(f[4 + 2 * k].c_str(), nullptr), alone.sd[k]) << method << k;
      }
      EXPECT_EQ(f[9], "12");
      EXPECT_EQ(f[15], std::to_string(alone.iterations));
      EXPECT_EQ(f[16], "ok");
    }
    EXPECT_EQ(rows[4], "short\tfailed\tError, Min data points is (2)\t\t\t\t\t\t\t1\t\t\t\t\t\t\t\t");
  }
}

// Threads and shards change who fits a curve, never its row.  The table is
// longer than the reader's 64 KiB buffer, so lines cross its refills.
TEST(Batch, ThreadsAndShardsGiveTheSameBytes) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/t.tsv", t1_table(200));
  ASSERT_GT(t1_table(200).size(), 65536u);
  ASSERT_EQ(batch(dir, "t.tsv", "one.tsv", {"-threads", "1", "-levmar", "-lower", "::0"}).status, 0);
  ASSERT_EQ(batch(dir, "t.tsv", "four.tsv", {"-threads", "4", "-levmar", "-lower", "::0"}).status, 0);
  const std::string whole = tavtest::read_file(dir + "/one.tsv");
  EXPECT_EQ(tavtest::read_file(dir + "/four.tsv"), whole);
  // Three shards, their rows taken in turn, are the whole.
  std::vector<std::vector<std::string>> shards;
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "s" + std::to_string(k) + ".tsv";
    ASSERT_EQ(batch(dir, "t.tsv", name, {"-shard", std::to_string(k) + "/3", "-levmar", "-lower", "::0"}).status, 0);
    shards.push_back(lines_of(tavtest::read_file(dir + "/" + name)));
  }
  ASSERT_EQ(batch(dir, "t.tsv", "all.tsv", {"-shard", "1/1", "-levmar", "-lower", "::0"}).status, 0);
  EXPECT_EQ(tavtest::read_file(dir + "/all.tsv"), whole);
  std::string merged = shards[0][0] + "\n";
  for (size_t row = 1; row < shards[0].size(); ++row)
    for (const auto &shard : shards)
      if (row < shard.size()) merged += shard[row] + "\n";
  EXPECT_EQ(merged, whole);
}

// A table whose curves are not together: from a file, grouped (the same rows
// as the sorted table); from a pipe, refused, with no row left behind.
TEST(Batch, ScatteredRowsAreGroupedFromAFileAndRefusedFromAPipe) {
  const std::string dir = tavtest::make_temp_dir();
  const std::vector<std::string> rows = lines_of(t1_table(4));
  std::string scattered = rows[0] + "\n";
  for (int k = 0; k < 12; ++k)
    for (int c = 0; c < 4; ++c) scattered += rows[1 + 12 * c + k] + "\n";
  tavtest::write_file(dir + "/sorted.tsv", t1_table(4));
  tavtest::write_file(dir + "/scattered.tsv", scattered);
  ASSERT_EQ(batch(dir, "sorted.tsv", "a.tsv", {"-levmar"}).status, 0);
  ASSERT_EQ(batch(dir, "scattered.tsv", "b.tsv", {"-levmar"}).status, 0);
  EXPECT_EQ(tavtest::read_file(dir + "/b.tsv"), tavtest::read_file(dir + "/a.tsv"));

  std::string output;
  const int status = tavtest::run_shell(
      dir, "cat scattered.tsv | " + std::string(TAVFIT_BIN) +
               " -batch /dev/stdin -columns curve=curve,x=delay,y=intensity -fit T1_RELAX"
               " -parms 1000:1.9:1 -results c.tsv",
      &output);
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("Line 6 of the table: the rows of curve 'c0' are not together."),
            std::string::npos)
      << output;
  EXPECT_EQ(lines_of(tavtest::read_file(dir + "/c.tsv")).size(), 1u);  // the header
}

// A run killed part-way leaves whole rows and perhaps part of one: -resume
// drops the part and fits only the curves without a row.
TEST(Batch, ResumeGoesOnFromTheLastWholeRow) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/t.tsv", t1_table(8));
  for (const char *name : {"r.tsv", "r.csv", "r.jsonl"}) {
    ASSERT_EQ(batch(dir, "t.tsv", name, {"-levmar"}).status, 0);
    const std::string whole = tavtest::read_file(dir + "/" + name);
    size_t cut = 0;
    for (int k = 0; k < 4; ++k) cut = whole.find('\n', cut) + 1;
    tavtest::write_file(dir + "/" + name, whole.substr(0, cut + 10));
    ASSERT_EQ(batch(dir, "t.tsv", name, {"-levmar", "-resume"}).status, 0) << name;
    EXPECT_EQ(tavtest::read_file(dir + "/" + name), whole) << name;
  }
  // Rows of other columns are not gone on from.
  tavtest::write_file(dir + "/other.tsv", "curve\tstatus\n");
  tavtest::write_file(dir + "/other.jsonl", "{\"curve\":\"c0\",\"status\":\"ok\"}\n");
  for (const char *name : {"other.tsv", "other.jsonl"}) {
    const tavtest::RunResult run = batch(dir, "t.tsv", name, {"-resume"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("holds other columns than this run writes"), std::string::npos) << name;
  }
}

// Whatever a curve's name holds, each row is one line that its format's
// readers take: quoted CSV, JSON with U+FFFD for bytes that are not UTF-8.
TEST(Batch, EveryRowIsOneLineItsReadersTake) {
  const std::string dir = tavtest::make_temp_dir();
  std::string table = "curve,delay,intensity\n";
  const std::vector<std::string> names = {"well \"A1\", plate 2", "tab\there", "bad\xff"};
  for (const std::string &name : names)
    for (const std::string &line : lines_of(t1_table(1)))
      if (line.rfind("c0\t", 0) == 0) {
        const std::vector<std::string> f = fields_of(line);
        std::string quoted = "\"";
        for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        table += quoted + "\"," + f[1] + "," + f[2] + "\n";
      }
  tavtest::write_file(dir + "/t.csv", table);
  ASSERT_EQ(batch(dir, "t.csv", "r.jsonl", {"-levmar"}).status, 0);
  const std::vector<std::string> rows = lines_of(tavtest::read_file(dir + "/r.jsonl"));
  ASSERT_EQ(rows.size(), 3u);
  const std::vector<std::string> read = {"well \"A1\", plate 2", "tab here", "bad\xEF\xBF\xBD"};
  for (size_t k = 0; k < rows.size(); ++k) {
    const nlohmann::json row = nlohmann::json::parse(rows[k]);
    EXPECT_EQ(row["curve"], read[k]);
    EXPECT_EQ(row["status"], "ok");
    EXPECT_TRUE(row["Mo"].is_number());
  }
  ASSERT_EQ(batch(dir, "t.csv", "r.csv", {"-levmar"}).status, 0);
  const std::vector<std::string> csv = lines_of(tavtest::read_file(dir + "/r.csv"));
  ASSERT_EQ(csv.size(), 4u);
  EXPECT_EQ(csv[1].rfind("\"well \"\"A1\"\", plate 2\",ok,,", 0), 0u) << csv[1];
  EXPECT_EQ(csv[2].rfind("tab here,ok,,", 0), 0u) << csv[2];
}

// -starts gives each curve its own start, held ones included; a curve it
// leaves out starts at -parms, or without -parms is a failed row.
TEST(Batch, StartsFileGivesEachCurveItsStart) {
  const std::string dir = tavtest::make_temp_dir();
  tavtest::write_file(dir + "/t.tsv", t1_table(2));
  tavtest::write_file(dir + "/starts.csv", "T1,curve,Mo\n0.5,c1,700\n");
  std::vector<std::string> args = {"-batch", "t.tsv", "-columns", "curve=curve,x=delay,y=intensity",
                                   "-fit", "T1_RELAX", "-starts", "starts.csv", "-results",
                                   "r.tsv", "-levmar"};
  std::vector<std::string> held = args;
  held.insert(held.end(), {"-parms", "=1000:1.9:1"});
  ASSERT_EQ(tavtest::run_tavfit(held, dir).status, 0);
  std::vector<std::string> rows = lines_of(tavtest::read_file(dir + "/r.tsv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(fields_of(rows[1])[3], "1000");
  EXPECT_EQ(fields_of(rows[2])[3], "700");
  EXPECT_EQ(tavtest::run_tavfit(args, dir).status, 1);
  rows = lines_of(tavtest::read_file(dir + "/r.tsv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(fields_of(rows[1])[2], "The starts file has no row for this curve.");
  EXPECT_EQ(fields_of(rows[2])[1], "ok");
}

// Weights and bounds add their columns; rows can go to standard output (a
// pipe here), and the count of failures then goes to standard error.
TEST(Batch, WeightsAndBoundsAddTheirColumns) {
  const std::string dir = tavtest::make_temp_dir();
  std::string table = "curve\tdelay\tintensity\terr\n";
  const std::vector<std::string> lines = lines_of(t1_table(2));
  for (size_t k = 1; k < lines.size(); ++k)
    table += lines[k] + "\t" + std::to_string(5 + k % 7) + "\n";
  table += "lone\t1\t2\t1\n";
  tavtest::write_file(dir + "/t.tsv", table);
  const tavtest::RunResult run = tavtest::run_tavfit(
      {"-batch", "t.tsv", "-columns", "curve=curve,x=delay,y=intensity,sigma=err", "-fit",
       "T1_RELAX", "-parms", "1000:1.9:0.4", "-sigma-absolute", "-upper", "::0.42", "-levmar",
       "-results", "/dev/stdout"},
      dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "1 of 3 curves failed.\n");
  const std::vector<std::string> rows = lines_of(run.out);
  ASSERT_EQ(rows.size(), 4u);
  const std::vector<std::string> names = fields_of(rows[0]);
  ASSERT_EQ(names.size(), 22u);
  EXPECT_EQ(std::vector<std::string>(names.begin() + 18, names.end()),
            (std::vector<std::string>{"chi_square", "reduced_chi_square", "chi_square_p", "at_bound"}));
  // c0's T1 (0.40) is below the bound, c1's (0.47) above: held on it.
  const std::vector<std::string> c0 = fields_of(rows[1]), c1 = fields_of(rows[2]);
  ASSERT_EQ(c0.size(), 22u);
  ASSERT_EQ(c1.size(), 22u);
  EXPECT_EQ(c0[21], "");
  EXPECT_EQ(c1[21], "T1");
  EXPECT_EQ(c1[7], "0.42");
  const double chi2 = std::strtod(c0[18].c_str(), nullptr);
  EXPECT_NEAR(std::strtod(c0[19].c_str(), nullptr), chi2 / 9, 1e-12 * chi2);
  EXPECT_GT(std::strtod(c0[20].c_str(), nullptr), 0.0);
}

}  // namespace
