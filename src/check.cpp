// The check of an answer: from the values a method reported, continue to the
// least-squares minimum with the model's exact derivatives, and measure how
// far the answer was from it, in standard deviations of the minimum.
//
// Levenberg-Marquardt on the exact Jacobian (dual numbers through the model
// templates), each step from the singular value decomposition of J, which
// also gives the standard deviations and shows a parameter the data do not
// determine.  At an answer that is already the minimum, the first
// Gauss-Newton step is negligible and it stops there.
//
// Within bounds the descent is projected: a step ends at a bound it would
// cross, and a parameter on a bound whose sum of squares rises inward stays
// there while the others move.  Where it ends tells the wrapper which bounds
// hold the answer.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "dual.h"
#include "methods.h"

extern "C" void dgesvd_(const char *jobu, const char *jobvt, const int *m, const int *n,
                        double *a, const int *lda, double *s, double *u, const int *ldu,
                        double *vt, const int *ldvt, double *work, const int *lwork, int *info,
                        std::size_t jobuLength, std::size_t jobvtLength);

namespace {

// A step smaller than this many standard deviations is no step: the answer is
// the minimum.
constexpr double kNegligibleStep = 1e-4;
constexpr int kMaxIterations = 200;
// Data the model meets exactly: a sum of squares at the minimum below this
// share of the sum of the squared data (a relative RMSE of 1e-10) ...
constexpr double kExactData = 1e-20;
// ... and an answer that agrees with that minimum to this relative precision.
constexpr double kExactAgreement = 1e-6;

// Residuals, their sum of squares and (if J is given) the Jacobian,
// column-major n x m, at the free values q, with a dual number of N
// derivatives (N >= m).  False where the model is not defined or gives a
// number that is not finite.
template <int N>
bool evaluate_with(const FitProblem &fp, const double *q, double *r, double *J, double *sse) {
  using Dual = dual::Dual<N>;
  double full[kMaxParms] = {};
  expand_free(fp.numParms, fp.hold, fp.start, q, full);
  if (!model_defined(fp.id, full)) return false;
  Dual p[kMaxParms];
  for (int i = 0, j = 0; i < fp.numParms; ++i)
    p[i] = fp.hold[i] == 0 && J != nullptr ? Dual::variable(full[i], j++) : Dual(full[i]);
  const Points &points = fp.points;
  const int n = points.n, m = fp.free.count;
  double sum = 0.0;
  for (int k = 0; k < n; ++k) {
    const Dual res = points.residual(k, problem_value(fp, points.x[k], points.x2[k], p));
    r[k] = res.a;
    sum = sum + res.a * res.a;
    if (J != nullptr)
      for (int j = 0; j < m; ++j) J[j * n + k] = res.v[j];
  }
  *sse = sum;
  if (!std::isfinite(sum)) return false;
  if (J != nullptr)
    for (int i = 0; i < n * m; ++i)
      if (!std::isfinite(J[i])) return false;
  return true;
}

// Without J, plain doubles (a dual of no derivatives) suffice; with it, the
// smallest dual that holds the free parameters, since every operation works
// on all its derivatives.
bool evaluate(const FitProblem &fp, const double *q, double *r, double *J, double *sse) {
  const int m = fp.free.count;
  if (J == nullptr || m <= 2) return evaluate_with<2>(fp, q, r, J, sse);
  if (m <= 4) return evaluate_with<4>(fp, q, r, J, sse);
  return evaluate_with<kMaxParms>(fp, q, r, J, sse);
}

// J D = U diag(s) V^T, thin, with the columns of J scaled by the sizes of
// their parameters (D), so that the rank is that of relative changes: a
// parameter whose whole value moves the model by less than rounding is one
// the data do not determine, whatever its unit.
struct Svd {
  int n = 0, m = 0, rank = 0;
  std::vector<double> a, u, s, vt, work;
  double d[kMaxParms] = {};

  // dgesvd's documented minimum work space, for n >= m: no query call, which
  // costs as much as the decomposition itself for the sizes fits have.
  Svd(int rows, int cols) : n(rows), m(cols), a(size_t(rows) * cols), u(size_t(rows) * cols),
                            s(cols), vt(size_t(cols) * cols),
                            work(size_t(std::max(3 * cols + rows, 5 * cols))) {}

  // The columns cols[0..count) of J (n rows): the parameters free to move.
  bool decompose(const double *J, const double *q, const int *cols, int count) {
    m = count;
    for (int c = 0; c < m; ++c) {
      const int j = cols[c];
      d[c] = q[j] != 0 ? std::fabs(q[j]) : 1.0;
      for (int i = 0; i < n; ++i) a[size_t(c) * n + i] = J[size_t(j) * n + i] * d[c];
    }
    int lwork = static_cast<int>(work.size()), info = 0;
    dgesvd_("S", "S", &n, &m, a.data(), &n, s.data(), u.data(), &n, vt.data(), &m, work.data(),
            &lwork, &info, 1, 1);
    if (info != 0) return false;
    const double tolerance = s[0] * std::max(n, m) * DBL_EPSILON;
    for (rank = 0; rank < m && s[rank] > tolerance; ++rank) {
    }
    return true;
  }

  // Component j of the k-th right singular vector: V[j][k], which V^T
  // (column-major, as LAPACK writes it) holds at row k, column j.
  double v(int k, int j) const { return vt[k + size_t(j) * m]; }

  // The Levenberg-Marquardt step for residuals r with damping mu (0: the
  // Gauss-Newton step), in the directions the data determine.
  void step(const double *r, double mu, double *delta) const {
    double g[kMaxParms];
    for (int k = 0; k < rank; ++k) {
      g[k] = 0.0;
      for (int i = 0; i < n; ++i) g[k] += u[size_t(k) * n + i] * r[i];
      g[k] *= s[k] / (s[k] * s[k] + mu);
    }
    for (int j = 0; j < m; ++j) {
      delta[j] = 0.0;
      for (int k = 0; k < rank; ++k) delta[j] -= v(k, j) * g[k];
      delta[j] *= d[j];
    }
  }

  // Standard deviations: sqrt(scale * ((J^T J)^-1)_jj); infinite for a
  // parameter in a direction the data do not determine.
  void deviations(double scale, double *sd) const {
    for (int j = 0; j < m; ++j) {
      double sum = 0.0;
      for (int k = 0; k < rank; ++k) sum += (v(k, j) / s[k]) * (v(k, j) / s[k]);
      bool undetermined = false;
      for (int k = rank; k < m; ++k) undetermined = undetermined || std::fabs(v(k, j)) > 0.1;
      sd[j] = undetermined ? INFINITY : d[j] * std::sqrt(scale * sum);
    }
  }

  // scale * (J^T J)^-1, m x m row-major, in the directions the data determine.
  void covariance(double scale, double *cov) const {
    for (int a = 0; a < m; ++a)
      for (int b = 0; b < m; ++b) {
        double sum = 0.0;
        for (int k = 0; k < rank; ++k) sum += (v(k, a) / s[k]) * (v(k, b) / s[k]);
        cov[a * m + b] = d[a] * d[b] * scale * sum;
      }
  }
};

// The box of the free parameters: lo[j] and hi[j], infinite where open.
void box_of(const FitProblem &fp, const Bounds *box, double *lo, double *hi) {
  for (int j = 0; j < fp.free.count; ++j) {
    const int slot = fp.free.slot[j];
    const int kind = box != nullptr ? box->kind[slot] : Bounds::kNone;
    lo[j] = (kind & Bounds::kLower) != 0 ? box->lower[slot] : -INFINITY;
    hi[j] = (kind & Bounds::kUpper) != 0 ? box->upper[slot] : INFINITY;
  }
}

double clamp(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }

// The free parameters that move: all of them, less those on a bound where the
// sum of squares rises inward (its gradient J^T r points out of the box).
int moving(const double *J, const double *r, int n, int m, const double *q, const double *lo,
           const double *hi, int *cols) {
  int count = 0;
  for (int j = 0; j < m; ++j) {
    bool pinned = false;
    if (q[j] <= lo[j] || q[j] >= hi[j]) {
      double g = 0.0;
      for (int i = 0; i < n; ++i) g += J[size_t(j) * n + i] * r[i];
      pinned = q[j] <= lo[j] ? g >= 0 : g <= 0;
    }
    if (!pinned) cols[count++] = j;
  }
  return count;
}

}  // namespace

tavfit::Check check_answer(const FitProblem &fp, const double *slots, const double *reportedSd,
                           const Bounds *box, bool *onBound) {
  tavfit::Check check;
  const int n = fp.points.n, m = fp.free.count;
  if (m == 0 || n <= m) return check;  // nothing to move, or no scale for the deviations
  double q0[kMaxParms], q[kMaxParms], lo[kMaxParms], hi[kMaxParms];
  gather_free(fp.free, slots, q0);
  std::copy(q0, q0 + m, q);
  box_of(fp, box, lo, hi);
  std::vector<double> r(n), rTry(n), J(size_t(n) * m);
  double sse;
  if (!evaluate(fp, q, r.data(), J.data(), &sse)) return check;
  Svd svd(n, m);
  double sd[kMaxParms], delta[kMaxParms], mu = 0.0;
  int cols[kMaxParms], count = m;
  // Takes the step of the moving parameters with damping mu, cut at the box,
  // into delta (every free parameter).
  auto take_step = [&](double damping) {
    double d[kMaxParms];
    svd.step(r.data(), damping, d);
    std::fill(delta, delta + m, 0.0);
    for (int c = 0; c < count; ++c) {
      const int j = cols[c];
      delta[j] = box == nullptr ? d[c] : clamp(q[j] + d[c], lo[j], hi[j]) - q[j];
    }
  };
  for (int it = 0;; ++it) {
    count = moving(J.data(), r.data(), n, m, q, lo, hi, cols);
    if (count == 0) break;  // every parameter held by its bound
    if (!svd.decompose(J.data(), q, cols, count)) return check;
    double sdMoving[kMaxParms];
    svd.deviations(fp.absoluteSigma ? 1.0 : sse / (n - m), sdMoving);
    for (int c = 0; c < count; ++c) sd[cols[c]] = sdMoving[c];
    take_step(0.0);
    bool negligible = true;
    for (int c = 0; c < count; ++c) {
      const int j = cols[c];
      negligible = negligible && (std::fabs(delta[j]) <= kNegligibleStep * sd[j] || sd[j] == 0);
    }
    if (negligible) {
      // The minimum lies within the step; its deviations are those here.
      double qMin[kMaxParms], sseMin;
      for (int j = 0; j < m; ++j) qMin[j] = q[j] + delta[j];
      if (evaluate(fp, qMin, rTry.data(), nullptr, &sseMin) && sseMin <= sse) {
        std::copy(qMin, qMin + m, q);
        sse = sseMin;
      }
      break;
    }
    if (it == kMaxIterations) break;
    // The Gauss-Newton step first; while a step fails to lower the sum of
    // squares, a damped one, the damping rising after each failure and
    // falling after each success.
    bool moved = false;
    for (int tries = 0; tries < 60 && !moved; ++tries) {
      double qTry[kMaxParms], sseTry;
      take_step(mu);
      for (int j = 0; j < m; ++j) qTry[j] = q[j] + delta[j];
      if (evaluate(fp, qTry, rTry.data(), nullptr, &sseTry) && sseTry < sse) {
        std::copy(qTry, qTry + m, q);
        moved = true;
        mu /= 3;
      } else {
        mu = mu == 0 ? 1e-3 * svd.s[0] * svd.s[0] : mu * 4;
      }
    }
    if (!moved || !evaluate(fp, q, r.data(), J.data(), &sse)) break;
  }
  // On a bound: the deviations of every free parameter from the whole
  // Jacobian there, the bound one counted free (as lmfit's least_squares
  // counts it).
  bool bound = false;
  for (int j = 0; j < m; ++j) {
    const bool on = q[j] <= lo[j] || q[j] >= hi[j];
    bound = bound || on;
    if (onBound != nullptr) onBound[fp.free.slot[j]] = on;
  }
  if (bound || count < m) {
    for (int j = 0; j < m; ++j) cols[j] = j;
    if (!evaluate(fp, q, r.data(), J.data(), &sse) || !svd.decompose(J.data(), q, cols, m))
      return check;
    svd.deviations(fp.absoluteSigma ? 1.0 : sse / (n - m), sd);
  }

  // At the minimum: its sum of squares, and the answer measured against it.
  check.done = true;
  check.minimum_sse = sse;
  check.minimum.assign(slots, slots + fp.numParms);
  check.exact_sd.assign(fp.numParms, NAN);
  scatter_free(fp.free, q, check.minimum.data());
  // Exact data: a minimum without spread, where standard deviations measure
  // nothing and an answer need only agree with it to the digits a fit of
  // such data reaches.
  double sumY2 = 0.0;
  for (int k = 0; k < n; ++k) {
    const double y = fp.points.weighted(k, fp.points.y[k]);
    sumY2 += y * y;
  }
  const bool exact = sse <= kExactData * sumY2;
  for (int j = 0; j < m; ++j) {
    const int slot = fp.free.slot[j];
    check.exact_sd[slot] = sd[j];
    if (std::isinf(sd[j])) {
      check.undetermined.push_back(slot);
      continue;
    }
    const double distance =
        !exact ? std::fabs(q0[j] - q[j]) / sd[j]
        : std::fabs(q0[j] - q[j]) <= kExactAgreement * std::fabs(q[j]) ? 0.0 : INFINITY;
    if (distance > check.distance_sd || check.distance_parameter < 0) {
      check.distance_sd = distance;
      check.distance_parameter = slot;
    }
    const double error = !exact ? std::fabs(reportedSd[slot] - sd[j]) / sd[j] : 0.0;
    if (error > check.sd_relative_error || check.sd_parameter < 0) {
      check.sd_relative_error = error;
      check.sd_parameter = slot;
    }
  }
  check.at_minimum = check.distance_sd <= tavfit::kCheckDistance &&
                     check.sd_relative_error <= tavfit::kCheckSdError && check.undetermined.empty();
  return check;
}

bool exact_covariance(const FitProblem &fp, const double *slots, double *sd, double *cov) {
  const int n = fp.points.n, m = fp.free.count;
  if (m == 0 || n <= m) return false;
  double q[kMaxParms], sse;
  int cols[kMaxParms];
  gather_free(fp.free, slots, q);
  for (int j = 0; j < m; ++j) cols[j] = j;
  std::vector<double> r(n), J(size_t(n) * m);
  Svd svd(n, m);
  if (!evaluate(fp, q, r.data(), J.data(), &sse) || !svd.decompose(J.data(), q, cols, m))
    return false;
  const double scale = fp.absoluteSigma ? 1.0 : sse / (n - m);
  svd.deviations(scale, sd);
  svd.covariance(scale, cov);
  return true;
}
