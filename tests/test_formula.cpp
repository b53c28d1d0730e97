// Formulas typed at run time: the parser (operators, precedence, grouping,
// every fault with its column), exact derivatives on the check's dual
// numbers, and every built-in model typed as a formula fitted as the
// built-in one is.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tavfit/tavfit.h>

#include "dual.h"
#include "formula.h"
#include "models.h"
#include "problem.h"

namespace {

double value_of(const std::string &text, double x, std::vector<double> p = {}, double x2 = 0.0) {
  tavfit::FormulaError error;
  const tavfit::Model model = tavfit::parse_model(text, &error);
  EXPECT_NE(model.program, nullptr) << text << ": " << error.message;
  if (model.program == nullptr) return NAN;
  p.resize(model.parameters.size(), 0.0);
  const double one = tavfit::evaluate(model, x, x2, p);
  // The block evaluator, which the fits use, gives the same bits.
  const std::vector<double> xs(3, x), x2s(3, x2);
  double block[3];
  formula_values(*model.program, xs.data(), x2s.data(), 3, p.data(), block);
  EXPECT_TRUE(std::memcmp(&one, &block[2], sizeof one) == 0) << text;
  return one;
}

// Every operator and function computes what C computes.
TEST(Formula, OperatorsAndFunctionsAreCs) {
  const double x = 0.37, a = 1.9, b = -0.6;
  const std::vector<double> p = {a, b};
  const struct {
    const char *text;
    double expected;
  } kCases[] = {
      {"a + b*x", a + b * x},        {"a - b - x", (a - b) - x},    {"a/b/x", (a / b) / x},
      {"a*b/x", (a * b) / x},        {"a^x", std::pow(a, x)},       {"-a + b", -a + b},
      {"exp(a*x) + b", std::exp(a * x) + b},  {"log(a) + b", std::log(a) + b},
      {"log10(a) + b", std::log10(a) + b},    {"sqrt(a) + b", std::sqrt(a) + b},
      {"a + abs(b)", a + std::fabs(b)},       {"sin(a) + b", std::sin(a) + b},
      {"cos(a) + b", std::cos(a) + b},        {"tan(a) + b", std::tan(a) + b},
      {"asin(x) + a + b", std::asin(x) + a + b}, {"acos(x) + a + b", std::acos(x) + a + b},
      {"atan(a) + b", std::atan(a) + b},      {"sinh(a) + b", std::sinh(a) + b},
      {"cosh(a) + b", std::cosh(a) + b},      {"tanh(a) + b", std::tanh(a) + b},
      {"erf(a) + b", std::erf(a) + b},        {"pow(a, x) + b", std::pow(a, x) + b},
      {"min(a, b) + x", b + x},      {"max(a, b) + x", a + x},
      {"if(x < a, a, b)", a},        {"if(x > a, a, b)", b},        {"if(x <= x, a, b)", a},
      {"if(x >= a, a, b)", b},       {"if(x == x, a, b)", a},       {"if(x != x, a, b)", b},
      {"a*pi + b*e", a * 3.141592653589793 + b * 2.718281828459045},
      {"a*1.5e-3 + b*0x10", a * 1.5e-3 + b * 16},  // numbers as strtod reads them
      {"a*.5 + b*2.", a * 0.5 + b * 2.0},
  };
  // The compiler may fold the expected values with more exact functions than
  // the C library's: a few units in the last place.
  for (const auto &c : kCases) EXPECT_DOUBLE_EQ(value_of(c.text, x, p), c.expected) << c.text;
  EXPECT_EQ(value_of("a*x2 + b", x, p, 3.5), a * 3.5 + b);
}

// ^ binds tighter than unary minus, which binds tighter than * and /; ^ is
// right-associative; + - * / are left-associative.
TEST(Formula, PrecedenceAndAssociativity) {
  const std::vector<double> p = {2.0};
  EXPECT_EQ(value_of("a*2^3^2", 0, p), 2.0 * 512);
  EXPECT_EQ(value_of("a*(2^3)^2", 0, p), 2.0 * 64);
  EXPECT_EQ(value_of("-a^2", 0, p), -4.0);
  EXPECT_EQ(value_of("(-a)^2", 0, p), 4.0);
  EXPECT_EQ(value_of("a*2^-1", 0, p), 1.0);
  EXPECT_EQ(value_of("a - 3 - 4", 0, p), -5.0);
  EXPECT_EQ(value_of("a/4/2", 0, p), 0.25);
  EXPECT_EQ(value_of("1 + a*3", 0, p), 7.0);
  EXPECT_EQ(value_of("--a", 0, p), 2.0);
  EXPECT_EQ(value_of("a - -3", 0, p), 5.0);
  EXPECT_EQ(value_of("+a", 0, p), 2.0);
  EXPECT_EQ(value_of("if(a + 3 > 2*a, 1, 0)", 0, p), 1.0);
}

// The reading -describe shows writes the grouping out.
TEST(Formula, ReadAsShowsTheGrouping) {
  const struct {
    const char *text, *shown;
  } kCases[] = {
      {"A*exp(-(x/tau)^beta) + C", "y = A * exp(-((x / tau) ^ beta)) + C"},
      {"-x^2*a", "y = -(x ^ 2) * a"},
      {"2^3^k", "y = 2 ^ (3 ^ k)"},
      {"a/b*c - d - (e1 - f)", "y = (a / b) * c - d - (e1 - f)"},
      {"if(x<x0,a,b)", "y = if(x < x0, a, b)"},
  };
  for (const auto &c : kCases) EXPECT_EQ(tavfit::parse_model(c.text).description, c.shown);
}

// Parameters in order of first appearance; x, x2, pi, e and the functions
// are none.
TEST(Formula, ParametersInOrderOfFirstAppearance) {
  const tavfit::Model m = tavfit::parse_model("Mo*(1 - W*exp(-x/T1)) + 0*Mo + e*pi*x2");
  EXPECT_EQ(m.parameters, (std::vector<std::string>{"Mo", "W", "T1"}));
  EXPECT_TRUE(m.uses_x);
  EXPECT_TRUE(m.uses_x2);
  EXPECT_EQ(m.id, -1);
  EXPECT_EQ(m.label, "Mo*(1 - W*exp(-x/T1)) + 0*Mo + e*pi*x2");
  EXPECT_FALSE(tavfit::parse_model("a + b").uses_x);
}

// Each fault names the place: its column in the text.
TEST(Formula, FaultsNameTheirColumn) {
  const struct {
    const char *text, *message;
    int column;
  } kCases[] = {
      {"A*expp(-x/tau)", "Unknown function 'expp' in the formula", 2},
      {"A*exp(-x, tau)", "The function 'exp' takes 1 argument, not 2", 2},
      {"A*pow(x)", "The function 'pow' takes 2 arguments, not 1", 2},
      {"if(x < 1, A)", "The function 'if' takes 3 arguments, not 2", 0},
      {"A*min()", "The function 'min' takes 2 arguments, not 0", 2},
      {"A*exp(-x/tau", "Unmatched '(' in the formula", 5},
      {"A*(x + 1", "Unmatched '(' in the formula", 2},
      {"A*x)", "Unmatched ')' in the formula", 3},
      {"A*x +", "The formula ends where a value is expected", 5},
      {"", "The formula ends where a value is expected", 0},
      {"A x", "Expected an operator in the formula", 2},
      {"2A", "Expected an operator in the formula", 1},
      {"A*x @ 2", "Unexpected '@' in the formula", 4},
      {"A**x", "Unexpected '*' in the formula", 2},
      {"A*exp", "The function 'exp' needs its argument in parentheses", 2},
      {"A*x(2)", "'x' is no function; write x*(...) to multiply", 2},
      {"A*(x, 2)", "Expected ')' in the formula", 4},
      {"A*exp(x; 2)", "Expected ',' or ')' in the formula", 7},
      {"3*x + pi", "The formula has no parameter to fit", 0},
      {"a+b+c+d+f+g+h+i+j+k + l*x",
       "The formula has more parameters than the 10 a model can have: 'l' would be parameter 11",
       22},
  };
  for (const auto &c : kCases) {
    tavfit::FormulaError error;
    const tavfit::Model m = tavfit::parse_model(c.text, &error);
    EXPECT_EQ(m.program, nullptr) << c.text;
    EXPECT_EQ(error.message, c.message) << c.text;
    EXPECT_EQ(error.column, c.column) << c.text;
  }
  // Nesting deep enough to exhaust the parser's recursion is refused.
  tavfit::FormulaError error;
  EXPECT_EQ(tavfit::parse_model(std::string(5000, '(') + "a", &error).program, nullptr);
  EXPECT_EQ(error.message, "The formula nests too deeply");
  EXPECT_EQ(tavfit::parse_model(std::string(5000, '-') + "a", &error).program, nullptr);
  EXPECT_EQ(error.message, "The formula nests too deeply");
}

// Any text of the formula alphabet is parsed or refused, never misread: a
// parsed one evaluates, on doubles and on dual numbers alike, and a refused
// one points inside the text.
TEST(Formula, AnyTextIsParsedOrRefused) {
  const std::string alphabet = "xab2e.()+-*/^<>=!,  expsqrtifminpow1";
  unsigned state = 12345;
  auto next = [&state] { return (state = state * 1103515245u + 12345u) >> 16; };
  int parsed = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    std::string text;
    for (unsigned length = next() % 24; length > 0; --length) text += alphabet[next() % alphabet.size()];
    tavfit::FormulaError error;
    const tavfit::Model m = tavfit::parse_model(text, &error);
    if (m.program == nullptr) {
      EXPECT_GE(error.column, 0) << text;
      EXPECT_LE(error.column, static_cast<int>(text.size())) << text;
      continue;
    }
    ++parsed;
    std::vector<double> p(m.parameters.size(), 0.7);
    const double v = tavfit::evaluate(m, 0.3, 0.2, p);
    std::vector<dual::Dual<kMaxParms>> d;
    for (size_t k = 0; k < p.size(); ++k) d.push_back(dual::Dual<kMaxParms>::variable(p[k], k));
    const double w = formula_value(*m.program, 0.3, 0.2, d.data()).a;
    EXPECT_TRUE(v == w || (std::isnan(v) && std::isnan(w))) << text;
  }
  EXPECT_GT(parsed, 100);
}

// A model that cannot be parsed, or whose parameters were changed by hand,
// is refused by the fit, not evaluated.
TEST(Formula, FitRefusesAModelWithoutItsProgram) {
  tavfit::Curve curve{{1, 2, 3}, {2, 4, 6}};
  const tavfit::Model broken = tavfit::parse_model("a*");
  EXPECT_FALSE(tavfit::fit({broken, curve, {}}).ok);
  tavfit::Model changed = tavfit::parse_model("a*x");
  changed.parameters.push_back("b");
  const tavfit::FitResult r = tavfit::fit({changed, curve, {1, 1}});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.message, "Undefined Fit Function");
  EXPECT_TRUE(std::isnan(tavfit::evaluate(changed, 1, 0, {1, 1})));
}

// A formula that gives no number at the start values is refused before any
// method runs, at its first such point.
TEST(Formula, NoNumberAtTheStartValuesIsRefusedAtItsFirstPoint) {
  const tavfit::Curve curve{{2, 1, 0, -1}, {1, 1, 1, 1}, {0, 0, 0, 5}};
  for (const char *text : {"a*log(x)", "a/x", "a*sqrt(x - 0.5)", "a*x + b*sqrt(-x2)"}) {
    const tavfit::Model m = tavfit::parse_model(text);
    const tavfit::FitResult r = tavfit::fit({m, curve, std::vector<double>(m.parameters.size(), 1)});
    EXPECT_FALSE(r.ok) << text;
    EXPECT_TRUE(r.value.empty()) << text;
    const std::string where = std::string(text) == "a*sqrt(x - 0.5)" ? "At point 3 (x = 0)"
                              : std::string(text) == "a*x + b*sqrt(-x2)" ? "At point 4 (x = -1, x2 = 5)"
                                                                         : "At point 3 (x = 0)";
    EXPECT_EQ(r.message.substr(0, where.size()), where) << text << ": " << r.message;
  }
}

// The derivatives of every function on the check's dual numbers against
// central differences, with the variable in the base, the exponent or both.
TEST(Formula, DualDerivativesOfEveryFunction) {
  using Dual = dual::Dual<2>;
  const char *const kTexts[] = {
      "exp(a*x) + b", "log(a*x) + b", "log10(a*x) + b", "sqrt(a*x) + b", "abs(a - x) + b",
      "sin(a*x) + b", "cos(a*x) + b", "tan(a*x) + b", "asin(a*x) + b", "acos(a*x) + b",
      "atan(a*x) + b", "sinh(a*x) + b", "cosh(a*x) + b", "tanh(a*x) + b", "erf(a*x) + b",
      "a^b + x", "(a*x)^2.5 + b", "2^(a*x) + b", "(-a)^2 + b*x", "min(a, b*x)", "max(a, b*x)",
      "if(a > x, a*b, b)", "a/(b - x)",
      // Below a value still pending, which a miscounted stack would lose.
      "a*b - if(a > x, a*b, b)", "b*x - (a > x) * a", "b*x - min(a, x*b)"};
  const double x = 0.3, p[2] = {1.3, 0.7};
  for (const char *text : kTexts) {
    const tavfit::Model m = tavfit::parse_model(text);
    ASSERT_NE(m.program, nullptr) << text;
    ASSERT_EQ(m.parameters.size(), 2u) << text;
    const Dual d[2] = {Dual::variable(p[0], 0), Dual::variable(p[1], 1)};
    const Dual v = formula_value(*m.program, x, 0.0, d);
    EXPECT_EQ(v.a, formula_value(*m.program, x, 0.0, p)) << text;
    for (int k = 0; k < 2; ++k) {
      double up[2] = {p[0], p[1]}, down[2] = {p[0], p[1]};
      const double h = 1e-6;
      up[k] += h;
      down[k] -= h;
      const double central = (formula_value(*m.program, x, 0.0, up) -
                              formula_value(*m.program, x, 0.0, down)) / (2 * h);
      EXPECT_NEAR(v.v[k], central, 1e-7 * (1 + std::fabs(central))) << text << " slot " << k;
    }
  }
}

// The T1 formula with every method, with sigmas and with bounds: the
// built-in model's fit to the last bit, as the formula repeats its
// operations (TAVRIN and levmar through the passes over blocks of points,
// Ceres and the check through Jets and dual numbers).
TEST(FormulaModels, TheT1FormulaGivesT1RelaxsFitToTheBitWithEveryMethod) {
  tavfit::Curve curve{{0.01, 0.05, 0.1, 0.2, 0.35, 0.5, 0.75, 1, 1.5, 2, 3.5, 6},
                      {-936.5, -869.4, -801.9, -664.2, -481.2, -308.8, -61.3, 127.2, 421.0,
                       608.3, 884.6, 985.4}};
  const tavfit::Model typed = tavfit::parse_model("Mo*(1-W*exp(-x/T1))");
  for (int variant = 0; variant < 3; ++variant) {
    tavfit::Problem b{*tavfit::find_model("T1_RELAX"), curve, {900, 2, 1}};
    if (variant == 1) b.curve.sigma.assign(curve.x.size(), 2.0), b.curve.sigma[3] = 5.0;
    if (variant == 2) b.lower = {0, 0, 0}, b.upper = {2000, 1.95, 5}, b.start[1] = 1.9;
    tavfit::Problem t = b;
    t.model = typed;
    for (tavfit::Method method :
         {tavfit::Method::Tavrin, tavfit::Method::Levmar, tavfit::Method::Ceres}) {
      const tavfit::FitResult rb = tavfit::fit(b, method), rt = tavfit::fit(t, method);
      ASSERT_TRUE(rb.ok && rt.ok) << variant << ": " << rb.message << " / " << rt.message;
      EXPECT_EQ(rt.value, rb.value) << variant;
      EXPECT_EQ(rt.sd, rb.sd) << variant;
      EXPECT_EQ(rt.covariance, rb.covariance) << variant;
      EXPECT_EQ(rt.iterations, rb.iterations) << variant;
      EXPECT_EQ(rt.check.exact_sd, rb.check.exact_sd) << variant;
    }
  }
}

// ---------------------------------------------------------------------------
// Every built-in model typed as a formula: the same fit.

// The XY2 root written out from its definitions (models.h), which a formula
// without local names repeats in full.
std::string xy2_formula() {
  auto in = [](const std::string &s) { return "(" + s + ")"; };
  const std::string d = in("P3 - 4*P1");
  const std::string a = in("(P3*P3 - 4*P1*P3 - 2*x2*P3)/" + d);
  const std::string b = in("(P3*x*(2*x2 - x) - (P1 + x2 + x)*P3*P3)/" + d);
  const std::string c = in("P3*P3*x*x2/" + d);
  const std::string P = in("(3*" + b + " - " + a + "*" + a + ")/3");
  const std::string m = in("sqrt(" + P + "/(-3))");
  const std::string arg = in("((-9*" + a + "*" + b + " + 2*" + a + "*" + a + "*" + a + " + 27*" +
                             c + ")/(-54))/sqrt(" + P + "*" + P + "*" + P + "/(-27))");
  const std::string y = in("2*" + m + "*cos((acos(" + arg + ")*(180/3.14159265)/3 + 240)*" +
                           "(3.14159265/180)) - " + a + "/3");
  return "(P0*" + y + " + P2*" + y + "*(x - " + y + ")/(2*" + y + " + P3))/x2";
}

// The shared parts of the models of several parameters, as formula text.
std::string loren(const std::string &v, const std::string &t) {
  return "(" + t + "/(1 + 39.4784175141361*(x - " + v + ")*(x - " + v + ")*" + t + "*" + t + "))";
}
std::string disp(const std::string &v, const std::string &t) {
  return "(6.2831853*" + t + "*" + t + "*(x - " + v + ")/(1 + 39.4784175141361*(x - " + v +
         ")*(x - " + v + ")*" + t + "*" + t + "))";
}
std::string frac_dimer(const std::string &K, const std::string &c) {
  return "(2/(1 + sqrt(1 + 8*" + c + "/" + K + ")))";
}
std::string frac_trimer(const std::string &q) {
  const std::string u = "(0.5*" + q + ")";
  const std::string w = "sqrt(" + q + "*" + q + "*(" + q + "*0.03704 + 0.25))";
  return "(pow(" + u + " + " + w + ", 0.3333333) - pow(abs(" + u + " - " + w + "), 0.3333333))";
}
std::string baselines(const std::string &F) {
  return F + "*(P2 - P3*x) + (1 - " + F + ")*(P0 - P1*x)";
}
std::string melt_k(const std::string &extra) {
  const std::string T = "(x + 273.15)";
  const std::string G = "((" + T + " - P6)*P5 + P4 - " + T + "*(P5*log(" + T + "/P6) + P4/P6" +
                        extra + "))";
  return "exp((-(" + G + "/0.001987))/" + T + ")";
}
// Heat capacity: dH, ds, Cn and Cu with the quadratic coefficient c2.
struct Unfolding {
  std::string dH, ds, Cn, Cu;
};
Unfolding unfolding(const std::string &c2) {
  return {"(P5 + (P4 - P1)*(x - P6) + 0.5*(P3 - P0)*(x*x - P6*P6) + 0.3333*(P2 - " + c2 +
              ")*(x^3 - P6^3))",
          "((P4 - P1)*(log(x) - log(P6)) + (P3 - P0)*(x - P6) + 0.5*(P2 - " + c2 +
              ")*(x*x - P6*P6))",
          "(" + c2 + "*x*x + P0*x + P1)", "(P2*x*x + P3*x + P4)"};
}

// A formula's parameters come in the order they first appear.  Where a
// model's text names them in another order than the built-in one, a zero
// term first names them in that order: it changes no bit of the value or of
// a derivative, and Ceres' path depends on the order of its unknowns (their
// QR), by which the badly conditioned fits here would end up to 1e-9 apart,
// as the built-in one does from a start 1e-7 away.
std::string in_order(const std::string &text, int count) {
  std::string zero = "0";
  for (int k = 0; k < count; ++k) zero += "*P" + std::to_string(k);
  return zero + " + (" + text + ")";
}

std::map<std::string, std::string> builtin_formulas() {
  const std::string trimerK = "exp((x*P5 - P4)/P7)";
  const std::string trimerF = frac_trimer("(" + trimerK + "/(P6*(3*P6)))");
  const std::string sqrtS = "(sqrt(P0)*sqrt(8*x + P0))";
  const std::string Fm = "((" + sqrtS + " - P0)*0.25/x)";
  const std::string Fd = "((P0 + 4*x - " + sqrtS + ")*0.125/x)";
  const std::string phH = "10^(-x*P3)";
  const std::string c3 = "cos(abs(x - 60)*(3.14159265/180))";
  const Unfolding u7 = unfolding("P7"), u8 = unfolding("P8");
  const std::string RT = "(0.008314*x)", TRT = "(x*0.008314*x)";
  const std::string monK = "exp(((P5/P6 + " + u7.ds + ")*x - " + u7.dH + ")/" + RT + ")";
  const std::string monF = "(" + monK + "/(" + monK + " + 1))";
  const std::string dimK = "exp(((2*" + u8.ds + " + P5/P6 + 0.008314*log(1.66*P7))*(2*x) - 2*" +
                           u8.dH + ")/" + RT + ")";
  const std::string dimF = frac_dimer(dimK, "P7");
  const std::string triK = "exp(((0.008314*log(P7*(P7*2.09)) + " + u8.ds + " + P5/P6)*x - " +
                           u8.dH + ")/" + RT + ")";
  const std::string triS = "sqrt(" + triK + "/(P7*(20.25*P7)) + 1)";
  const std::string triW = "(" + triK + "/(P7*(6*P7)))";
  const std::string triF = "(pow((" + triS + " + 1)*" + triW + ", 0.3333333) - pow((" + triS +
                           " - 1)*" + triW + ", 0.3333333))";
  const std::string sigK = "exp((0 - (x*P5 + P4))/(8.314*P7))";
  const std::string isoR = "(2/(sqrt(4*P0*x + 1) + 1))";
  const std::string chemE = "exp(((0 - P0) + x*P1)/P7)";
  return {
      {"LINE", "P0*x + P1"},
      {"QUADRATIC", "P0*x*x + P1*x + P2"},
      {"CUBIC", "P0*x*x*x + P1*x*x + P2*x + P3"},
      {"SUM_EXPON", "P0*exp(-x/P1) + P4 + P2*exp(-x/P3)"},
      {"EXP1", "P0*(1 - exp(P1*x)) + P2"},
      {"EXP2", "P0*exp(P1*x) + P2"},
      {"SINU_3P", "P0*" + c3 + "*" + c3 + " - P1*" + c3 + " + P2"},
      {"SINU_4P", "P0*cos(P1*(abs(x - 60)*(3.14159265/180)) + P2) + P3"},
      {"SIGMOID", "P0 + P1/(1 + exp(-(x - P2)/P3))"},
      {"SUM_LOREN", "P4*(" + loren("P0", "P1") + " + P5*" + loren("P2", "P3") + ")"},
      {"T1_RELAX", "P0*(1 - P1*exp(-x/P2))"},
      {"T2_RELAX", "P0*exp(-x/P1)"},
      {"R2_DIMER", "(P0*(P1 - P2) + 4*P1*x + (P2 - P1)*" + sqrtS + ")/(4*x)"},
      {"R2X_DIMER", "(" + Fd + " + " + Fd + ")*P1 + " + Fm + "*P2 + " + Fd + "*" + Fm + "*" + Fm +
                        "*P3*P4"},
      {"PH_TITR", "P1 + (P2 - P1)*" + phH + "/(10^(-P0*P3) + " + phH + ")"},
      {"XY1", "((x + x2 + P1) - sqrt((x + x2 + P1)*(x + x2 + P1) + (-4*x)*x2))*P0/(x2 + x2)"},
      {"XY2", xy2_formula()},
      {"GAUSS", "P0*exp(-((x - P1)*(x - P1))/(P2*(P2 + P2))) + P3"},
      {"Z_DISP", "P4*(" + disp("P0", "P1") + " - P5*" + disp("P2", "P3") + ")"},
      {"Z_UCD", "P0*exp(P1*P2*(x - P3)) + P0*P0*P4*exp(2*(P1*P2*(x - P3)))"},
      {"Z_MELT_MON", baselines("(" + melt_k("") + "/(" + melt_k("") + " + 1))")},
      {"Z_MELT_DIM", baselines(frac_dimer(melt_k(" + 0.001987*log(P7)"), "P7"))},
      {"Z_CHEM_TRI", baselines(trimerF)},
      {"Z_CHEM_MON_TRI", "(1 - " + trimerF + ")*P2 + (1 - " + chemE + "/(" + chemE + " + 1))*P3"},
      {"Z_CP_MONOMER", "(1 - " + monF + ")*" + monF + "*" + u7.dH + "*" + u7.dH + "/" + TRT +
                           " + " + u7.Cn + " + " + monF + "*(" + u7.dH + " - P5)"},
      {"Z_CP_DIM", u8.Cn + " + " + dimF + "*(" + u8.Cu + " - " + u8.Cn + ") + (2*" + u8.dH +
                       ")*(4*" + u8.dH + ")/" + TRT + "*(1 - " + dimF + ")*" + dimF + "/(2 - " +
                       dimF + ")"},
      {"Z_CP_TRIMER", u8.Cn + " + " + triF + "*(" + u8.Cu + " - " + u8.Cn + ") + (1 - " + triF +
                          ")*" + triF + "/(3 - 2*" + triF + ")*3*" + u8.dH + "*" + u8.dH + "/" +
                          TRT},
      {"Z_SIG_DIM", "(x*P3 + P2) + " + frac_dimer(sigK, "P6") + "*((x*P1 + P0) - (x*P3 + P2))"},
      {"Z_AMIDE_PH", "1/(1 + P0*(P1*10^(-14)/10^(-x) + P2*10^(-x) + P3))"},
      {"CRYSTAL", "P0 + P1*cos(2*x) + P2*sin(2*x)"},
      {"LORENTZ", "P2*" + loren("P0", "P1")},
      {"ISODESMIC", isoR + "*(P0*P1*x*" + isoR + ") - P2"},
      {"UREA", "P0/(1 + exp((-P1/2.5205321868)*(x - P2)))"},
      {"PH_TITR2", "P0 + P2/(1 + 10^(P1 - x)) + P4/(1 + 10^(P3 - x))"},
      {"Z_SUM_EXPON", "P0*(1 - exp(-x/P1)) + P2*(1 - exp(-x/P3))"},
  };
}

// A point inside each model's domain: parameters, an x range and x2.
struct ModelPoint {
  const char *keyword;
  double p[kMaxParms];
  double xFrom, xTo, x2;
};

const ModelPoint kModelPoints[] = {
    {"LINE", {1.1, 0.7}, -2, 3, 0},
    {"QUADRATIC", {1.1, 0.7, -1.3}, -2, 3, 0},
    {"CUBIC", {1.1, 0.7, -1.3, 0.9}, -2, 3, 0},
    {"SUM_EXPON", {1.1, 0.7, 1.3, 2.9, 0.2}, 0, 5, 0},
    {"EXP1", {1.1, -0.7, 0.3}, 0, 5, 0},
    {"EXP2", {1.1, -0.7, 0.3}, 0, 5, 0},
    {"SINU_3P", {1.1, 0.7, 0.3}, 0, 180, 0},
    {"SINU_4P", {1.1, 0.7, 0.3, 0.2}, 0, 180, 0},
    {"SIGMOID", {0.1, 1.2, 2.0, 0.6}, 0, 5, 0},
    {"SUM_LOREN", {1.0, 0.4, 2.0, 0.3, 1.2, 0.5}, 0, 3, 0},
    {"T1_RELAX", {100, 1.9, 1.5}, 0, 8, 0},
    {"T2_RELAX", {100, 0.05}, 0, 0.2, 0},
    {"R2_DIMER", {0.5, 20, 8}, 0.1, 4, 0},
    {"R2X_DIMER", {0.5, 20, 8, 0.01, 3}, 0.1, 4, 0},
    {"PH_TITR", {6.5, 8.0, 8.6, 0.9}, 4, 9, 0},
    {"XY1", {1.2, 0.05}, 0.02, 1, 0.2},
    {"XY2", {1.1, 0.2, 1.3, 1.5}, 0.1, 3, 0.5},
    {"GAUSS", {0.4, 451, 4.1, 0.02}, 440, 460, 0},
    {"Z_DISP", {1.0, 0.4, 2.0, 0.3, 1.2, 0.5}, 0, 3, 0},
    {"Z_UCD", {1.1, 0.7, 0.3, 0.2, 0.5}, -2, 3, 0},
    {"Z_MELT_MON", {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330}, 20, 90, 0},
    {"Z_MELT_DIM", {1.0, 0.002, 0.2, 0.001, 80, 1.5, 330, 1e-5}, 20, 90, 0},
    {"Z_CHEM_TRI", {1.0, 0.01, 0.2, 0.02, 2, 0.5, 0.5, 0.59}, 0, 8, 0},
    {"Z_CHEM_MON_TRI", {2, 0.5, 1.0, 0.2, 2, 0.5, 0.5, 0.59}, 0, 8, 0},
    {"Z_CP_MONOMER", {0.02, 5, -1e-5, 0.04, 3, 400, 330, 1e-5}, 300, 360, 0},
    {"Z_CP_DIM", {0.02, 5, -1e-5, 0.04, 3, 400, 330, 1e-5, 1e-5}, 300, 360, 0},
    {"Z_CP_TRIMER", {0.02, 5, -1e-5, 0.04, 3, 400, 330, 1e-5, 1e-5}, 300, 360, 0},
    {"Z_SIG_DIM", {1.0, 0.01, 0.2, 0.02, 20000, -5000, 1e-5, 298}, 0, 8, 0},
    {"Z_AMIDE_PH", {1.0, 1e9, 10, 0.1}, 2, 10, 0},
    {"CRYSTAL", {1.1, 0.7, 0.3}, 0, 3, 0},
    {"LORENTZ", {1.0, 0.4, 1.2}, 0, 3, 0},
    {"ISODESMIC", {2.0, 1.5, 0.1}, 0.01, 3, 0},
    {"UREA", {1.0, 2.0, 4.0}, 0, 8, 0},
    {"PH_TITR2", {1.0, 4.0, 0.5, 8.0, 0.3}, 2, 10, 0},
    {"Z_SUM_EXPON", {1.1, 0.7, 1.3, 2.9}, 0, 5, 0},
};

// The formula model's parameter order: slot of the built-in model for each
// of its parameters ("P3" is slot 3).
std::vector<int> slots_of(const tavfit::Model &formula) {
  std::vector<int> slots;
  for (const std::string &name : formula.parameters) slots.push_back(std::stoi(name.substr(1)));
  return slots;
}

// Typed as a formula that repeats its operations, every built-in model gives
// the same values at its points, to the last bit, and the same -ceres fit:
// values and SDs to 1e-12.
TEST(FormulaModels, EveryBuiltInModelTypedAsAFormulaFitsAsTheBuiltInOne) {
  static_assert(sizeof kModelPoints / sizeof kModelPoints[0] == kFitFuncCount, "every model");
  const std::map<std::string, std::string> formulas = builtin_formulas();
  ASSERT_EQ(formulas.size(), static_cast<size_t>(kFitFuncCount));
  tavfit::Options options;
  options.max_iterations = 1000;
  for (const ModelPoint &c : kModelPoints) {
    const tavfit::Model &builtin = *tavfit::find_model(c.keyword);
    tavfit::FormulaError error;
    tavfit::Model typed = tavfit::parse_model(formulas.at(c.keyword), &error);
    ASSERT_NE(typed.program, nullptr) << c.keyword << ": " << error.message;
    ASSERT_EQ(typed.parameters.size(), builtin.parameters.size()) << c.keyword;
    EXPECT_EQ(typed.uses_x2, builtin.uses_x2) << c.keyword;
    // Its values at the points do not depend on the order; the fits do.
    const std::vector<int> order = slots_of(typed);
    if (!std::is_sorted(order.begin(), order.end()))
      typed = tavfit::parse_model(in_order(formulas.at(c.keyword), static_cast<int>(order.size())));
    const std::vector<int> slots = slots_of(typed);

    // 30 points with 1 % of deterministic noise; the fits start 3 % off.
    const int n = 30;
    tavfit::Curve curve;
    std::vector<double> truth(c.p, c.p + builtin.parameters.size()), typedTruth;
    for (int s : slots) typedTruth.push_back(c.p[s]);
    for (int k = 0; k < n; ++k) {
      const double x = c.xFrom + (c.xTo - c.xFrom) * (k + 0.5) / n;
      const double y = tavfit::evaluate(builtin, x, c.x2, truth);
      EXPECT_EQ(tavfit::evaluate(typed, x, c.x2, typedTruth), y) << c.keyword << " x " << x;
      curve.x.push_back(x);
      curve.x2.push_back(c.x2);
      curve.y.push_back(y * (1 + 0.01 * std::sin(1.7 * k + 0.3)));
    }
    tavfit::Problem b{builtin, curve, {}}, t{typed, curve, {}};
    for (double v : truth) b.start.push_back(v * 1.03);
    for (int s : slots) t.start.push_back(c.p[s] * 1.03);
    const tavfit::FitResult rb = tavfit::fit(b, tavfit::Method::Ceres, options);
    const tavfit::FitResult rt = tavfit::fit(t, tavfit::Method::Ceres, options);
    ASSERT_EQ(rt.ok, rb.ok) << c.keyword << ": " << rb.message << " / " << rt.message;
    if (!rb.ok) {
      EXPECT_EQ(rt.message, rb.message) << c.keyword;
      continue;
    }
    for (size_t j = 0; j < slots.size(); ++j) {
      const int s = slots[j];
      EXPECT_NEAR(rt.value[j], rb.value[s], 1e-12 * std::fabs(rb.value[s])) << c.keyword << " P" << s;
      EXPECT_NEAR(rt.sd[j], rb.sd[s], 1e-12 * std::fabs(rb.sd[s])) << c.keyword << " P" << s;
    }
  }
}

}  // namespace
