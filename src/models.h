// The 35 fit functions, written once as templates over the number type.
//
// model_value<double> is what fnf and both finite-difference methods use;
// model_value<ceres::Jet> gives the Ceres method exact derivatives.  Each
// formula keeps the order of operations in which the model is defined, so
// that the double instantiation gives the same bits as the formulas always
// have; angle conversions deliberately use pi = 3.14159265.
//
// Conventions that let one text serve both number types:
//  - maths functions are called unqualified after `using std::exp;` and the
//    like, so that argument-dependent lookup finds Ceres' Jet overloads;
//  - constants that meet a parameter are written as doubles (1.0, not 1):
//    Jet's mixed operators take a double, not an int, and an int converted to
//    double is the same value, so nothing changes for the double instantiation.
//  - the guards that end a run (an id out of range, the excluded parameter
//    region of XY2) are not here: fnf applies them to doubles, and the Ceres
//    method to the scalar part of its Jets.
#pragma once

#include <cmath>

// Fit-function ids, in catalogue order.  The catalogue checks its row count
// and keywords against this list at compile time.
enum FitFuncId : int {
  kLine,
  kQuadratic,
  kCubic,
  kSumExpon,
  kExp1,
  kExp2,
  kSinu3P,
  kSinu4P,
  kSigmoid,
  kSumLoren,
  kT1Relax,
  kT2Relax,
  kR2Dimer,
  kR2xDimer,
  kPhTitr,
  kXy1,
  kXy2,
  kGauss,
  kZDisp,
  kZUcd,
  kZMeltMon,
  kZMeltDim,
  kZChemTri,
  kZChemMonTri,
  kZCpMonomer,
  kZCpDim,
  kZCpTrimer,
  kZSigDim,
  kZAmidePh,
  kCrystal,
  kLorentz,
  kIsodesmic,
  kUrea,
  kPhTitr2,
  kZSumExpon,
  kFitFuncCount
};

// The keyword of each id, for the compile-time check of the catalogue.
constexpr const char *kFitFuncKeyword[kFitFuncCount] = {
    "LINE",         "QUADRATIC",  "CUBIC",          "SUM_EXPON",    "EXP1",
    "EXP2",         "SINU_3P",    "SINU_4P",        "SIGMOID",      "SUM_LOREN",
    "T1_RELAX",     "T2_RELAX",   "R2_DIMER",       "R2X_DIMER",    "PH_TITR",
    "XY1",          "XY2",        "GAUSS",          "Z_DISP",       "Z_UCD",
    "Z_MELT_MON",   "Z_MELT_DIM", "Z_CHEM_TRI",     "Z_CHEM_MON_TRI", "Z_CP_MONOMER",
    "Z_CP_DIM",     "Z_CP_TRIMER", "Z_SIG_DIM",     "Z_AMIDE_PH",   "CRYSTAL",
    "LORENTZ",      "ISODESMIC",  "UREA",           "PH_TITR2",     "Z_SUM_EXPON"};

// True when id names a fit function.
constexpr bool valid_fit_func(int id) {
  return static_cast<unsigned>(id) < static_cast<unsigned>(kFitFuncCount);
}

// XY2 is defined only for kd2 > 4 * kd1 (slots 3 and 1).  An ordered
// comparison, so that NaN parameters pass and give NaN values.
inline bool xy2_excluded(double kd1, double kd2) { return kd2 <= 4 * kd1; }
constexpr const char *kXy2ExcludedText = "Function not defined when kd2 <= 4 * kd1";

namespace models {

constexpr double kDegToRad = 3.14159265 / 180;
constexpr double kRadToDeg = 180 / 3.14159265;
constexpr double kTwoPi = 6.2831853;
constexpr double kTwoPiSquared = 39.4784175141361;
constexpr double kRkcal = 0.001987;   // gas constant, kcal/(mol K)
constexpr double kRjoule = 8.314;     // gas constant, J/(mol K)
constexpr double kRkjoule = 0.008314; // gas constant, kJ/(mol K)

// Absorption Lorentzian of height t at x = v.
template <typename Real>
inline Real loren(double x, const Real &v, const Real &t) {
  const Real d = x - v;
  return t / (1.0 + kTwoPiSquared * d * d * t * t);
}

// The matching dispersion line shape.
template <typename Real>
inline Real disp(double x, const Real &v, const Real &t) {
  const Real d = x - v;
  return kTwoPi * t * t * d / (1.0 + kTwoPiSquared * d * d * t * t);
}

// Fraction of monomer units dissociated from dimers, dissociation constant K,
// total concentration c.  Written as 2/(1 + sqrt(1 + 8c/K)) rather than
// (sqrt(K*K + 8cK) - K)/(4c): the same quantity, but it keeps its precision
// for large K, never overflows in K*K, and gives 0 at K = 0 and 1 at K = inf.
template <typename Real>
inline Real frac_dimer(const Real &K, const Real &c) {
  using std::sqrt;
  return 2.0 / (1.0 + sqrt(1.0 + 8.0 * c / K));
}

// Cardano's real root of F^3 + qF - q = 0 (0.03704 stands for 1/27).
template <typename Real>
inline Real frac_trimer(const Real &q) {
  using std::abs;
  using std::pow;
  using std::sqrt;
  const Real u = 0.5 * q;
  const Real w = sqrt(q * q * (q * 0.03704 + 0.25));
  return pow(u + w, 0.3333333) - pow(abs(u - w), 0.3333333);
}

// Shared terms of the heat-capacity models: enthalpy of unfolding at T and the
// change of the entropy of unfolding from Tm to T; c2 is the quadratic
// coefficient of the native heat capacity.
template <typename Real>
struct Unfolding {
  Real dH, ds, Cn, Cu;
};

template <typename Real>
inline Unfolding<Real> unfolding(double T, const Real *p, const Real &c2) {
  using std::log;
  using std::pow;
  const Real Tm = p[6];
  Unfolding<Real> u;
  u.dH = p[5] + (p[4] - p[1]) * (T - Tm) + 0.5 * (p[3] - p[0]) * (T * T - Tm * Tm) +
         0.3333 * (p[2] - c2) * (pow(T, 3.0) - pow(Tm, 3.0));
  u.ds = (p[4] - p[1]) * (log(T) - log(Tm)) + (p[3] - p[0]) * (T - Tm) +
         0.5 * (p[2] - c2) * (T * T - Tm * Tm);
  u.Cn = c2 * T * T + p[0] * T + p[1];
  u.Cu = p[2] * T * T + p[3] * T + p[4];
  return u;
}

// Two-site binding (XY2): the root of the binding cubic with the 240-degree
// offset, for x total partner and x2 total observed species.  The caller has
// excluded kd2 <= 4 * kd1.
template <typename Real>
Real xy2(double x, double x2, const Real *p) {
  using std::acos;
  using std::cos;
  using std::sqrt;
  const Real K1 = p[1];
  const Real K2 = p[3];
  const Real d = K2 - 4.0 * K1;
  const Real a = (K2 * K2 - 4.0 * K1 * K2 - 2 * x2 * K2) / d;
  const Real b = (K2 * x * (2 * x2 - x) - (K1 + x2 + x) * K2 * K2) / d;
  const Real c = K2 * K2 * x * x2 / d;
  const Real P = (3.0 * b - a * a) / 3.0;
  const Real m = sqrt(P / (-3.0));
  const Real arg =
      ((-9.0 * a * b + 2.0 * a * a * a + 27.0 * c) / (-54.0)) / sqrt(P * P * P / (-27.0));
  const Real theta = acos(arg);
  const Real y = 2.0 * m * cos((theta * kRadToDeg / 3.0 + 240.0) * kDegToRad) - a / 3.0;
  return (p[0] * y + p[2] * y * (x - y) / (2.0 * y + K2)) / x2;
}

// Signal mixed from two sloping baselines by the fraction F of the second state.
template <typename Real>
inline Real baselines(const Real &F, double x, const Real *p) {
  return F * (p[2] - p[3] * x) + (1.0 - F) * (p[0] - p[1] * x);
}

}  // namespace models

// Value of fit function id at (x, x2) with the parameters p (the model's own
// slots only are read).  id must be valid and, for XY2, outside the excluded
// region; an invalid id gives NaN.
template <typename Real>
Real model_value(FitFuncId id, double x, double x2, const Real *p) {
  using namespace models;
  using std::cos;
  using std::exp;
  using std::log;
  using std::pow;
  using std::sin;
  using std::sqrt;
  switch (id) {
    case kLine:
      return p[0] * x + p[1];
    case kQuadratic:
      return p[0] * x * x + p[1] * x + p[2];
    case kCubic:
      return p[0] * x * x * x + p[1] * x * x + p[2] * x + p[3];
    case kSumExpon:
      return p[0] * exp(-x / p[1]) + p[4] + p[2] * exp(-x / p[3]);
    case kExp1:
      return p[0] * (1.0 - exp(p[1] * x)) + p[2];
    case kExp2:
      return p[0] * exp(p[1] * x) + p[2];
    case kSinu3P: {  // x in degrees, symmetric about 60
      const double c = std::cos(std::fabs(x - 60) * kDegToRad);
      return p[0] * c * c - p[1] * c + p[2];
    }
    case kSinu4P:
      return p[0] * cos(p[1] * (std::fabs(x - 60) * kDegToRad) + p[2]) + p[3];
    case kSigmoid:
      return p[0] + p[1] / (1.0 + exp(-(x - p[2]) / p[3]));
    case kSumLoren:
      return p[4] * (loren(x, p[0], p[1]) + p[5] * loren(x, p[2], p[3]));
    case kT1Relax:
      return p[0] * (1.0 - p[1] * exp(-x / p[2]));
    case kT2Relax:
      return p[0] * exp(-x / p[1]);
    case kR2Dimer:
    case kR2xDimer: {  // monomer-dimer root, two separate square roots
      const Real s = sqrt(p[0]) * sqrt(8 * x + p[0]);
      if (id == kR2Dimer) return (4.0 * p[1] * x + p[0] * (p[1] - p[2]) + (p[2] - p[1]) * s) / (4 * x);
      const Real Fm = (s - p[0]) * 0.25 / x;
      const Real Fd = (p[0] + 4 * x - s) * 0.125 / x;
      return Fm * p[2] + (Fd + Fd) * p[1] + Fd * Fm * Fm * p[3] * p[4];
    }
    case kPhTitr: {  // as a quotient of two powers of ten
      const Real h = pow(10.0, -x * p[3]);
      return p[1] + (p[2] - p[1]) * h / (pow(10.0, -p[0] * p[3]) + h);
    }
    case kXy1: {  // one-site binding
      const Real b = x + x2 + p[1];
      return (b - sqrt(b * b + (-4 * x) * x2)) * p[0] / (x2 + x2);
    }
    case kXy2:
      return xy2(x, x2, p);
    case kGauss: {
      const Real d = x - p[1];
      return p[0] * exp(-(d * d) / (p[2] * (p[2] + p[2]))) + p[3];
    }
    case kZDisp:
      return p[4] * (disp(x, p[0], p[1]) - p[5] * disp(x, p[2], p[3]));
    case kZUcd: {
      const Real e = p[2] * p[1] * (x - p[3]);
      return p[0] * exp(e) + p[0] * p[0] * p[4] * exp(2.0 * e);
    }
    case kZMeltMon: {  // Gibbs-Helmholtz, x in degrees Celsius
      const double T = x + 273.15;
      const Real G = (T - p[6]) * p[5] + p[4] - T * (p[5] * log(T / p[6]) + p[4] / p[6]);
      const Real K = exp((-(G / kRkcal)) / T);
      return baselines(K / (K + 1.0), x, p);
    }
    case kZMeltDim: {
      const double T = x + 273.15;
      const Real G = (T - p[6]) * p[5] + p[4] -
                     T * (p[5] * log(T / p[6]) + p[4] / p[6] + kRkcal * log(p[7]));
      const Real K = exp((-(G / kRkcal)) / T);
      return baselines(frac_dimer(K, p[7]), x, p);
    }
    case kZChemTri:
    case kZChemMonTri: {
      const Real K = exp((x * p[5] - p[4]) / p[7]);
      const Real F = frac_trimer(K / (p[6] * (3.0 * p[6])));
      if (id == kZChemTri) return baselines(F, x, p);
      const Real E = exp(((0.0 - p[0]) + x * p[1]) / p[7]);
      return (1.0 - F) * p[2] + (1.0 - E / (E + 1.0)) * p[3];
    }
    case kZCpMonomer: {
      const double T = x;
      const double R = kRkjoule;
      const Unfolding<Real> u = unfolding(T, p, p[7]);
      const Real K = exp(((p[5] / p[6] + u.ds) * T - u.dH) / (R * T));
      const Real f = K / (K + 1.0);
      return (1.0 - f) * f * u.dH * u.dH / (T * R * T) + u.Cn + f * (u.dH - p[5]);
    }
    case kZCpDim: {
      const double T = x;
      const double R = kRkjoule;
      const Unfolding<Real> u = unfolding(T, p, p[8]);
      const Real K =
          exp(((2.0 * u.ds + p[5] / p[6] + R * log(1.66 * p[7])) * (2 * T) - 2.0 * u.dH) /
              (R * T));
      const Real F = frac_dimer(K, p[7]);
      return u.Cn + F * (u.Cu - u.Cn) +
             (2.0 * u.dH) * (4.0 * u.dH) / (T * R * T) * (1.0 - F) * F / (2.0 - F);
    }
    case kZCpTrimer: {
      const double T = x;
      const double R = kRkjoule;
      const Unfolding<Real> u = unfolding(T, p, p[8]);
      const Real K =
          exp(((R * log(p[7] * (p[7] * 2.09)) + u.ds + p[5] / p[6]) * T - u.dH) / (R * T));
      const Real s = sqrt(K / (p[7] * (20.25 * p[7])) + 1.0);
      const Real w = K / (p[7] * (6.0 * p[7]));
      const Real F = pow((s + 1.0) * w, 0.3333333) - pow((s - 1.0) * w, 0.3333333);
      return u.Cn + F * (u.Cu - u.Cn) +
             (1.0 - F) * F / (3.0 - 2.0 * F) * 3.0 * u.dH * u.dH / (T * R * T);
    }
    case kZSigDim: {  // free energy in J/mol, sloping baselines added
      const Real K = exp((0.0 - (x * p[5] + p[4])) / (kRjoule * p[7]));
      const Real lo = x * p[3] + p[2];
      const Real hi = x * p[1] + p[0];
      return lo + frac_dimer(K, p[6]) * (hi - lo);
    }
    case kZAmidePh: {  // x is the pH
      const double h = std::pow(10.0, -x);
      return 1.0 / (1.0 + p[0] * (p[1] * std::pow(10.0, -14.0) / h + p[2] * h + p[3]));
    }
    case kCrystal:  // x in radians
      return p[0] + p[1] * std::cos(2 * x) + p[2] * std::sin(2 * x);
    case kLorentz:
      return p[2] * loren(x, p[0], p[1]);
    case kIsodesmic: {
      const Real r = 2.0 / (sqrt(4.0 * p[0] * x + 1.0) + 1.0);
      return r * (p[0] * p[1] * x * r) - p[2];
    }
    case kUrea:
      return p[0] / (1.0 + exp((-p[1] / 2.5205321868) * (x - p[2])));
    case kPhTitr2:
      return p[0] + p[2] / (1.0 + pow(10.0, p[1] - x)) + p[4] / (1.0 + pow(10.0, p[3] - x));
    case kZSumExpon:
      return p[0] * (1.0 - exp(-x / p[1])) + p[2] * (1.0 - exp(-x / p[3]));
    case kFitFuncCount:
      break;
  }
  return Real(NAN);
}
