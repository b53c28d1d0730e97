// The model evaluator fnf and the TAVRIN fitting engine.
#include "tavfit.h"

#include <cmath>

// ---------------------------------------------------------------------------
// Models.  Each formula keeps the order of operations in which the model is
// defined; angle conversions deliberately use pi = 3.14159265.

namespace {

constexpr double kDegToRad = 3.14159265 / 180;
constexpr double kRadToDeg = 180 / 3.14159265;
constexpr double kTwoPi = 6.2831853;
constexpr double kTwoPiSquared = 39.4784175141361;
constexpr double kRkcal = 0.001987;   // gas constant, kcal/(mol K)
constexpr double kRjoule = 8.314;     // gas constant, J/(mol K)
constexpr double kRkjoule = 0.008314; // gas constant, kJ/(mol K)

// Absorption Lorentzian of height t at x = v.
inline double loren(double x, double v, double t) {
  const double d = x - v;
  return t / (1 + kTwoPiSquared * d * d * t * t);
}

// The matching dispersion line shape.
inline double disp(double x, double v, double t) {
  const double d = x - v;
  return kTwoPi * t * t * d / (1 + kTwoPiSquared * d * d * t * t);
}

// Fraction of monomer units dissociated from dimers, dissociation constant K,
// total concentration c.  Written as 2/(1 + sqrt(1 + 8c/K)) rather than
// (sqrt(K*K + 8cK) - K)/(4c): the same quantity, but it keeps its precision
// for large K, never overflows in K*K, and gives 0 at K = 0 and 1 at K = inf.
inline double frac_dimer(double K, double c) { return 2 / (1 + std::sqrt(1 + 8 * c / K)); }

// Cardano's real root of F^3 + qF - q = 0 (0.03704 stands for 1/27).
inline double frac_trimer(double q) {
  const double u = 0.5 * q;
  const double w = std::sqrt(q * q * (q * 0.03704 + 0.25));
  return std::pow(u + w, 0.3333333) - std::pow(std::fabs(u - w), 0.3333333);
}

// Shared terms of the heat-capacity models: enthalpy of unfolding at T and the
// change of the entropy of unfolding from Tm to T; c2 is the quadratic
// coefficient of the native heat capacity.
struct Unfolding {
  double dH, ds, Cn, Cu;
};

inline Unfolding unfolding(double T, const double *p, double c2) {
  const double Tm = p[6];
  Unfolding u;
  u.dH = p[5] + (p[4] - p[1]) * (T - Tm) + 0.5 * (p[3] - p[0]) * (T * T - Tm * Tm) +
         0.3333 * (p[2] - c2) * (std::pow(T, 3.0) - std::pow(Tm, 3.0));
  u.ds = (p[4] - p[1]) * (std::log(T) - std::log(Tm)) + (p[3] - p[0]) * (T - Tm) +
         0.5 * (p[2] - c2) * (T * T - Tm * Tm);
  u.Cn = c2 * T * T + p[0] * T + p[1];
  u.Cu = p[2] * T * T + p[3] * T + p[4];
  return u;
}

// Two-site binding (XY2): the root of the binding cubic with the 240-degree
// offset, for x total partner and x2 total observed species.
double xy2(double x, double x2, const double *p) {
  const double K1 = p[1];
  const double K2 = p[3];
  // An ordered comparison, so that NaN parameters pass and give NaN values.
  if (K2 <= 4 * K1) show_msg(kFatal, "Function not defined when kd2 <= 4 * kd1");
  const double d = K2 - 4 * K1;
  const double a = (K2 * K2 - 4 * K1 * K2 - 2 * x2 * K2) / d;
  const double b = (K2 * x * (2 * x2 - x) - (K1 + x2 + x) * K2 * K2) / d;
  const double c = K2 * K2 * x * x2 / d;
  const double P = (3 * b - a * a) / 3;
  const double m = std::sqrt(P / (-3));
  const double arg = ((-9 * a * b + 2 * a * a * a + 27 * c) / (-54)) / std::sqrt(P * P * P / (-27));
  const double theta = std::acos(arg);
  const double y = 2 * m * std::cos((theta * kRadToDeg / 3 + 240) * kDegToRad) - a / 3;
  return (p[0] * y + p[2] * y * (x - y) / (2 * y + K2)) / x2;
}

// Signal mixed from two sloping baselines by the fraction F of the second state.
inline double baselines(double F, double x, const double *p) {
  return F * (p[2] - p[3] * x) + (1 - F) * (p[0] - p[1] * x);
}

}  // namespace

int fnf(int id, double *out, double x, double x2, const double *p) {
  if (static_cast<unsigned>(id) > 34u) show_msg(kFatal, "Undefined Fit Function");
  double v;
  switch (id) {
    case 0:  // LINE
      v = p[0] * x + p[1];
      break;
    case 1:  // QUADRATIC
      v = p[0] * x * x + p[1] * x + p[2];
      break;
    case 2:  // CUBIC
      v = p[0] * x * x * x + p[1] * x * x + p[2] * x + p[3];
      break;
    case 3:  // SUM_EXPON
      v = p[0] * std::exp(-x / p[1]) + p[4] + p[2] * std::exp(-x / p[3]);
      break;
    case 4:  // EXP1
      v = p[0] * (1 - std::exp(p[1] * x)) + p[2];
      break;
    case 5:  // EXP2
      v = p[0] * std::exp(p[1] * x) + p[2];
      break;
    case 6: {  // SINU_3P: x in degrees, symmetric about 60
      const double c = std::cos(std::fabs(x - 60) * kDegToRad);
      v = p[0] * c * c - p[1] * c + p[2];
      break;
    }
    case 7:  // SINU_4P
      v = p[0] * std::cos(p[1] * (std::fabs(x - 60) * kDegToRad) + p[2]) + p[3];
      break;
    case 8:  // SIGMOID
      v = p[0] + p[1] / (1 + std::exp(-(x - p[2]) / p[3]));
      break;
    case 9:  // SUM_LOREN
      v = p[4] * (loren(x, p[0], p[1]) + p[5] * loren(x, p[2], p[3]));
      break;
    case 10:  // T1_RELAX
      v = p[0] * (1 - p[1] * std::exp(-x / p[2]));
      break;
    case 11:  // T2_RELAX
      v = p[0] * std::exp(-x / p[1]);
      break;
    case 12:
    case 13: {  // R2_DIMER, R2X_DIMER: monomer-dimer root, two separate square roots
      const double s = std::sqrt(p[0]) * std::sqrt(8 * x + p[0]);
      if (id == 12) {
        v = (4 * p[1] * x + p[0] * (p[1] - p[2]) + (p[2] - p[1]) * s) / (4 * x);
      } else {
        const double Fm = (s - p[0]) * 0.25 / x;
        const double Fd = (p[0] + 4 * x - s) * 0.125 / x;
        v = Fm * p[2] + (Fd + Fd) * p[1] + Fd * Fm * Fm * p[3] * p[4];
      }
      break;
    }
    case 14: {  // PH_TITR, as a quotient of two powers of ten
      const double h = std::pow(10.0, -x * p[3]);
      v = p[1] + (p[2] - p[1]) * h / (std::pow(10.0, -p[0] * p[3]) + h);
      break;
    }
    case 15: {  // XY1: one-site binding
      const double b = x + x2 + p[1];
      v = (b - std::sqrt(b * b + (-4 * x) * x2)) * p[0] / (x2 + x2);
      break;
    }
    case 16:  // XY2
      v = xy2(x, x2, p);
      break;
    case 17: {  // GAUSS
      const double d = x - p[1];
      v = p[0] * std::exp(-(d * d) / (p[2] * (p[2] + p[2]))) + p[3];
      break;
    }
    case 18:  // Z_DISP
      v = p[4] * (disp(x, p[0], p[1]) - p[5] * disp(x, p[2], p[3]));
      break;
    case 19: {  // Z_UCD
      const double e = p[2] * p[1] * (x - p[3]);
      v = p[0] * std::exp(e) + p[0] * p[0] * p[4] * std::exp(2 * e);
      break;
    }
    case 20: {  // Z_MELT_MON: Gibbs-Helmholtz, x in degrees Celsius
      const double T = x + 273.15;
      const double G = (T - p[6]) * p[5] + p[4] - T * (p[5] * std::log(T / p[6]) + p[4] / p[6]);
      const double K = std::exp((-(G / kRkcal)) / T);
      v = baselines(K / (K + 1), x, p);
      break;
    }
    case 21: {  // Z_MELT_DIM
      const double T = x + 273.15;
      const double G = (T - p[6]) * p[5] + p[4] -
                       T * (p[5] * std::log(T / p[6]) + p[4] / p[6] + kRkcal * std::log(p[7]));
      const double K = std::exp((-(G / kRkcal)) / T);
      v = baselines(frac_dimer(K, p[7]), x, p);
      break;
    }
    case 22:
    case 23: {  // Z_CHEM_TRI, Z_CHEM_MON_TRI
      const double K = std::exp((x * p[5] - p[4]) / p[7]);
      const double F = frac_trimer(K / (p[6] * (3 * p[6])));
      if (id == 22) {
        v = baselines(F, x, p);
      } else {
        const double E = std::exp(((0 - p[0]) + x * p[1]) / p[7]);
        v = (1 - F) * p[2] + (1 - E / (E + 1)) * p[3];
      }
      break;
    }
    case 24: {  // Z_CP_MONOMER
      const double T = x;
      const double R = kRkjoule;
      const Unfolding u = unfolding(T, p, p[7]);
      const double K = std::exp(((p[5] / p[6] + u.ds) * T - u.dH) / (R * T));
      const double f = K / (K + 1);
      v = (1 - f) * f * u.dH * u.dH / (T * R * T) + u.Cn + f * (u.dH - p[5]);
      break;
    }
    case 25: {  // Z_CP_DIM
      const double T = x;
      const double R = kRkjoule;
      const Unfolding u = unfolding(T, p, p[8]);
      const double K =
          std::exp(((2 * u.ds + p[5] / p[6] + R * std::log(1.66 * p[7])) * (2 * T) -
                    2 * u.dH) /
                   (R * T));
      const double F = frac_dimer(K, p[7]);
      v = u.Cn + F * (u.Cu - u.Cn) + (2 * u.dH) * (4 * u.dH) / (T * R * T) * (1 - F) * F / (2 - F);
      break;
    }
    case 26: {  // Z_CP_TRIMER
      const double T = x;
      const double R = kRkjoule;
      const Unfolding u = unfolding(T, p, p[8]);
      const double K =
          std::exp(((R * std::log(p[7] * (p[7] * 2.09)) + u.ds + p[5] / p[6]) * T - u.dH) /
                   (R * T));
      const double s = std::sqrt(K / (p[7] * (20.25 * p[7])) + 1);
      const double w = K / (p[7] * (6 * p[7]));
      const double F = std::pow((s + 1) * w, 0.3333333) - std::pow((s - 1) * w, 0.3333333);
      v = u.Cn + F * (u.Cu - u.Cn) + (1 - F) * F / (3 - 2 * F) * 3 * u.dH * u.dH / (T * R * T);
      break;
    }
    case 27: {  // Z_SIG_DIM: free energy in J/mol, sloping baselines added
      const double K = std::exp((0 - (x * p[5] + p[4])) / (kRjoule * p[7]));
      const double lo = x * p[3] + p[2];
      const double hi = x * p[1] + p[0];
      v = lo + frac_dimer(K, p[6]) * (hi - lo);
      break;
    }
    case 28: {  // Z_AMIDE_PH: x is the pH
      const double h = std::pow(10.0, -x);
      v = 1 / (1 + p[0] * (p[1] * std::pow(10.0, -14.0) / h + p[2] * h + p[3]));
      break;
    }
    case 29:  // CRYSTAL: x in radians
      v = p[0] + p[1] * std::cos(2 * x) + p[2] * std::sin(2 * x);
      break;
    case 30:  // LORENTZ
      v = p[2] * loren(x, p[0], p[1]);
      break;
    case 31: {  // ISODESMIC
      const double r = 2 / (std::sqrt(4 * p[0] * x + 1) + 1);
      v = r * (p[0] * p[1] * x * r) - p[2];
      break;
    }
    case 32:  // UREA
      v = p[0] / (1 + std::exp((-p[1] / 2.5205321868) * (x - p[2])));
      break;
    case 33:  // PH_TITR2
      v = p[0] + p[2] / (1 + std::pow(10.0, p[1] - x)) + p[4] / (1 + std::pow(10.0, p[3] - x));
      break;
    default:  // 34, Z_SUM_EXPON
      v = p[0] * (1 - std::exp(-x / p[1])) + p[2] * (1 - std::exp(-x / p[3]));
      break;
  }
  *out = v;
  return 0;
}

// ---------------------------------------------------------------------------
// TAVRIN engine: Gauss-Newton with a fixed step of one tenth of the full
// correction.  Its working state is private to this file.

namespace {

int changeParmsNum;                  // m, the number of free parameters
double cVec[kMaxParms];              // J^T r
double mMat[kMaxParms][kMaxParms];   // J^T J
double zMat[kMaxParms][kMaxParms];   // inverse of J^T J
double s0;  // residual sum of squares while accumulating; then sqrt(S / (n - m))
double s1;  // s0 before the last update
bool nearZeroStop;  // the last pass found the RMSE below kNearZeroRmse

constexpr double kStepFactor = -0.1;
constexpr double kConvergence = 1e-5;
constexpr double kNearZeroRmse = 1e-8;

// Parameter positions of the free parameters, in increasing order.
int free_positions(int *pos) {
  int m = 0;
  for (int j = 0; j < numParms; ++j)
    if (holdConstFlag[j] == 0) pos[m++] = j;
  return m;
}

}  // namespace

TavrinState tavrin_state() {
  return TavrinState{changeParmsNum, cVec, mMat, zMat, s0, s1};
}

void tavrin_set_free_count(int m) { changeParmsNum = m; }

int calc_rmse(const double *p, double *result) {
  if (numData == kUnsetMarker) show_msg(kFatal, "Do not have valid data to process yet.");
  for (int j = 0; j < numParms; ++j)
    if (p[j] == static_cast<double>(kUnsetMarker))
      show_msg(kFatal, format_msg("Uninitialized parameter at position %d.", j).c_str());
  double sum = 0;
  for (int k = 0; k < numData; ++k) {
    double value;
    fnf(fitFunc, &value, xData[k], tData[k], p);
    const double r = value - yData[k];
    sum = sum + r * r;
  }
  *result = std::sqrt(sum / numData);
  return 0;
}

int calc_deriv(double *p) {
  const int m = changeParmsNum;
  int pos[kMaxParms];
  free_positions(pos);
  for (int i = 0; i < m; ++i) {
    cVec[i] = 0;
    for (int l = 0; l < m; ++l) mMat[i][l] = 0;
  }
  double d[kMaxParms];
  for (int k = 0; k < numData; ++k) {
    const double x = xData[k];
    const double x2 = tData[k];
    double f0;
    fnf(fitFunc, &f0, x, x2, p);
    const double r = f0 - yData[k];
    s0 = s0 + r * r;
    for (int i = 0; i < m; ++i) {
      const int j = pos[i];
      const double v = p[j];
      p[j] = v * 1.02 + 1e-9;
      double f1;
      fnf(fitFunc, &f1, x, x2, p);
      p[j] = v;
      // The step is taken from v by formula, not as the difference of the
      // stored values, which may differ from it by rounding.
      d[i] = (f1 - f0) / (v * 0.02 + 1e-9);
      cVec[i] = cVec[i] + r * d[i];
      for (int l = 0; l <= i; ++l) {
        mMat[i][l] = mMat[i][l] + d[i] * d[l];
        mMat[l][i] = mMat[i][l];
      }
    }
  }
  return 0;
}

int set_new_parms(double *p) {
  const int m = changeParmsNum;
  if (m < 1) return 0;
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < m; ++c) zMat[r][c] = r == c ? 1.0 : 0.0;

  // Gauss-Jordan without pivoting: the diagonal, in order.
  for (int q = 0; q < m; ++q) {
    const double a = mMat[q][q];
    if (a == 0.0) show_msg(kFatal, "Not possible to determine new parameters during convergence.");
    for (int c = 0; c < m; ++c) {
      mMat[q][c] = mMat[q][c] / a;
      zMat[q][c] = zMat[q][c] / a;
    }
    for (int r = 0; r < m; ++r) {
      if (r == q) continue;
      const double t = mMat[r][q];
      for (int c = 0; c < m; ++c) {
        mMat[r][c] = mMat[r][c] - t * mMat[q][c];
        zMat[r][c] = zMat[r][c] - t * zMat[q][c];
      }
    }
  }

  int pos[kMaxParms];
  free_positions(pos);
  for (int i = 0; i < m; ++i) {
    double value = p[pos[i]];
    for (int c = 0; c < m; ++c) value = value + (cVec[c] * zMat[i][c]) * kStepFactor;
    p[pos[i]] = value;
  }
  return 0;
}

int one_iteration(double *p) {
  const double previousRmse = rmse;
  if (s0 != 0) {  // never in the first pass, which only linearises
    s1 = s0;
    s0 = 0;
    set_new_parms(p);
  }
  calc_deriv(p);
  s0 = std::sqrt(s0 / (numData - changeParmsNum));
  calc_rmse(p, &rmse);
  // Exact data: stop rather than chase floating-point noise for the rest of
  // the iteration limit.
  nearZeroStop = rmse < kNearZeroRmse;
  if (nearZeroStop) show_msg(kWarning, "RMSE approaching zero, stopping iterative process.");
  if (rmse * 0.01 > previousRmse)
    show_msg(kFatal,
             "Difficulty in convergence, try to improve on your starting parameters or hold more "
             "parameters constant");
  return 0;
}

int do_iterations(double *p, double *stdDev) {
  calc_rmse(p, &rmse);
  int pos[kMaxParms];
  changeParmsNum = free_positions(pos);
  if (changeParmsNum == 0) {
    set_termination(false, 0, "every parameter held, nothing to fit");
    return 0;
  }

  s0 = 0;
  s1 = 0;
  itCount = 0;
  nearZeroStop = false;
  const double startRmse = rmse;
  for (;;) {
    if (itCount > maxIt) {
      set_termination(false, kTavrinIterationLimit, "iteration limit reached without convergence");
      show_msg(kFatal,
               format_msg("Maximum iterations reached without convergence: %d.", maxIt).c_str());
    }
    one_iteration(p);
    if (nearZeroStop) break;
    if (std::fabs(s1 - s0) < kConvergence * s0) break;
    itCount = itCount + 1;
  }
  if (nearZeroStop)
    set_termination(false, kTavrinNearZeroRmse, "RMSE below 1e-8, stopped as exact data");
  else
    set_termination(true, kTavrinRelativeChange,
                    "relative change of the residual standard error below 1e-5");
  if (!nearZeroStop && rmse >= startRmse)  // a NaN on either side passes
    show_msg(kFatal, "Solution after convergence is somehow worse.");

  // zMat exists only once an update has been made.
  const bool haveInverse = itCount > 0;
  for (int j = 0, k = 0; j < numParms; ++j) {
    if (holdConstFlag[j] == 1) {
      stdDev[j] = 0.0;
    } else {
      stdDev[j] = haveInverse ? std::sqrt(std::fabs(zMat[k][k])) * s0 : 0.0;
      ++k;
    }
  }
  // The covariance the standard deviations above come from.
  const int m = changeParmsNum;
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < m; ++c) fitCovar[r][c] = haveInverse ? zMat[r][c] * s0 * s0 : NAN;
  return 0;
}
