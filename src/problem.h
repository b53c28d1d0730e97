// A fit problem as the methods see it: one model over one set of points,
// the parameter slots with their hold flags, and the residual.
//
// Every method fits only the free parameters (hold flag 0).  Free parameter
// j is the j-th free slot in increasing slot order; held slots keep the
// values in the slot array.  TAVRIN, levmar and Ceres all go through the
// helpers here, so the order in which a method sees its unknowns is the same
// everywhere.
#pragma once

#include <cmath>

#include "formula.h"
#include "models.h"

// Parameter slots of a model.
constexpr int kMaxParms = 10;

// The measured points.  x2 holds 0.0 where a point has no second abscissa;
// sigma, when given, each point's standard deviation (positive and finite).
struct Points {
  const double *x;
  const double *y;
  const double *x2;
  int n;
  const double *sigma = nullptr;

  // The residual of point k at the model value f: the one place where the
  // model meets the data, for every method and every statistic.
  template <typename Real>
  Real residual(int k, const Real &f) const {
    return weighted(k, f - y[k]);
  }
  // A difference of point k as the fit counts it: divided by the point's
  // standard deviation when the points have them, so that the sum of squares
  // is chi-square.  The finite-difference derivatives go through it too.
  template <typename Real>
  Real weighted(int k, const Real &difference) const {
    return sigma == nullptr ? difference : difference / sigma[k];
  }
};

// The sum of the squared residuals of the model values f, point by point.
inline double squared_residuals(const Points &points, const double *f) {
  double sum = 0.0;
  for (int k = 0; k < points.n; ++k) {
    const double r = points.residual(k, f[k]);
    sum += r * r;
  }
  return sum;
}

// Slot of each free parameter, in increasing order.
struct FreeSlots {
  int count = 0;
  int slot[kMaxParms] = {};
};

inline FreeSlots free_slots(int numSlots, const int *hold) {
  FreeSlots f;
  for (int i = 0; i < numSlots; ++i)
    if (hold[i] == 0) f.slot[f.count++] = i;
  return f;
}

// The full parameter vector: held slots from slots, free ones (hold flag 0)
// from free in order.  Only the first numSlots entries of full are written.
template <typename Real>
inline void expand_free(int numSlots, const int *hold, const double *slots, const Real *free,
                        Real *full) {
  for (int i = 0, j = 0; i < numSlots; ++i) full[i] = hold[i] == 0 ? free[j++] : Real(slots[i]);
}

// Copies the free slots' values into free, in order.
inline void gather_free(const FreeSlots &f, const double *slots, double *free) {
  for (int j = 0; j < f.count; ++j) free[j] = slots[f.slot[j]];
}

// Copies free values back into their slots.
inline void scatter_free(const FreeSlots &f, const double *free, double *slots) {
  for (int j = 0; j < f.count; ++j) slots[f.slot[j]] = free[j];
}

// Bounds on free parameters, lower and upper per slot where kind says.  The
// check descends within them as they are; a method fits a bounded parameter
// through lmfit's transformation: it sees an unconstrained variable q in the
// slot, and the model sees
//   lower and upper  p = lo + (sin q + 1) (hi - lo) / 2
//   lower only       p = lo - 1 + sqrt(q^2 + 1)
//   upper only       p = hi + 1 - sqrt(q^2 + 1)
// so that no method needs constraints of its own.
struct Bounds {
  enum Kind { kNone = 0, kLower = 1, kUpper = 2, kBoth = 3 };
  int kind[kMaxParms] = {};
  double lower[kMaxParms] = {};
  double upper[kMaxParms] = {};

  template <typename Real>
  Real value(int slot, const Real &q) const {
    using std::sin;
    using std::sqrt;
    switch (kind[slot]) {
      case kLower: return lower[slot] - 1.0 + sqrt(q * q + 1.0);
      case kUpper: return upper[slot] + 1.0 - sqrt(q * q + 1.0);
      case kBoth: return lower[slot] + (sin(q) + 1.0) * ((upper[slot] - lower[slot]) / 2.0);
      default: return q;
    }
  }
  // The q of a value p within the bounds (lmfit's choice of root).
  double internal(int slot, double p) const {
    switch (kind[slot]) {
      case kLower: return std::sqrt((p - lower[slot] + 1.0) * (p - lower[slot] + 1.0) - 1.0);
      case kUpper: return std::sqrt((upper[slot] - p + 1.0) * (upper[slot] - p + 1.0) - 1.0);
      case kBoth: return std::asin(2.0 * (p - lower[slot]) / (upper[slot] - lower[slot]) - 1.0);
      default: return p;
    }
  }
  // dp/dq at q, which carries standard deviations and covariances from q to p.
  double slope(int slot, double q) const {
    switch (kind[slot]) {
      case kLower: return q / std::sqrt(q * q + 1.0);
      case kUpper: return -q / std::sqrt(q * q + 1.0);
      case kBoth: return std::cos(q) * (upper[slot] - lower[slot]) / 2.0;
      default: return 1.0;
    }
  }
};

// The model's parameters from a method's slots, in place.
template <typename Real>
inline void to_model(const Bounds *bounds, int numSlots, Real *p) {
  if (bounds == nullptr) return;
  for (int i = 0; i < numSlots; ++i)
    if (bounds->kind[i] != Bounds::kNone) p[i] = bounds->value(i, p[i]);
}

// What a method fits.  Views into the caller's data: nothing is copied or
// owned, so a problem costs nothing to make and nothing to share.
struct FitProblem {
  FitFuncId id;
  int numParms;           // the model's parameter count
  Points points;
  const double *start;    // numParms start values; held ones stay at them
  const int *hold;        // numParms flags: 1 held, 0 free
  FreeSlots free;
  int maxIterations;
  // With sigma: the standard deviations are absolute, so the covariance is
  // not scaled by the reduced chi-square.
  bool absoluteSigma = false;
  // Bounds on free slots, whose values then hold q (see Bounds); nullptr: none.
  const Bounds *bounds = nullptr;
  // A typed formula, which is then the model (id is kFormulaId); nullptr: the
  // built-in model id.  Every pass goes through model_values, sum_of_squares
  // or problem_value, which look here first.
  const tavfit::Formula *formula = nullptr;
};

// The id of a problem whose model is a typed formula: no built-in model.
constexpr FitFuncId kFormulaId = kFitFuncCount;

// The model of fp at (x, x2) with the parameters p, on any number type.
template <typename Real>
inline Real problem_value(const FitProblem &fp, double x, double x2, const Real *p) {
  return fp.formula != nullptr ? formula_value(*fp.formula, x, x2, p) : model_value(fp.id, x, x2, p);
}

// False where the model is not defined at p: the excluded region of XY2.
inline bool model_defined(FitFuncId id, const double *p) {
  return id != kXy2 || !xy2_excluded(p[1], p[3]);
}

// Model values at every point, and the sum of squared residuals, with the
// model's formula inlined into the loop (one instantiation per model), or
// the typed formula (when not nullptr) a block of points at a time.  Both
// return false, with nothing written, where the model is not defined at p.
bool model_values(FitFuncId id, const tavfit::Formula *formula, const Points &points,
                  const double *p, double *out);
bool sum_of_squares(FitFuncId id, const tavfit::Formula *formula, const Points &points,
                    const double *p, double *sum);
// The same for a built-in model.
inline bool model_values(FitFuncId id, const Points &points, const double *p, double *out) {
  return model_values(id, nullptr, points, p, out);
}
inline bool sum_of_squares(FitFuncId id, const Points &points, const double *p, double *sum) {
  return sum_of_squares(id, nullptr, points, p, sum);
}
