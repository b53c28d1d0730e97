// The check of an answer: from the values a method reported, continue to the
// least-squares minimum with the model's exact derivatives, and measure how
// far the answer was from it, in standard deviations of the minimum.
//
// Levenberg-Marquardt on the exact Jacobian (dual numbers through the model
// templates), each step from the singular value decomposition of J, which
// also gives the standard deviations and shows a parameter the data do not
// determine.  At an answer that is already the minimum, the first
// Gauss-Newton step is negligible and the check stops there.
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
    const Dual res = points.residual(k, model_value(fp.id, points.x[k], points.x2[k], p));
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

  bool decompose(const double *J, const double *q) {
    for (int j = 0; j < m; ++j) {
      d[j] = q[j] != 0 ? std::fabs(q[j]) : 1.0;
      for (int i = 0; i < n; ++i) a[size_t(j) * n + i] = J[size_t(j) * n + i] * d[j];
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
};

}  // namespace

tavfit::Check check_answer(const FitProblem &fp, const double *slots, const double *reportedSd) {
  tavfit::Check check;
  const int n = fp.points.n, m = fp.free.count;
  if (m == 0 || n <= m) return check;  // nothing to move, or no scale for the deviations
  double q0[kMaxParms], q[kMaxParms];
  gather_free(fp.free, slots, q0);
  std::copy(q0, q0 + m, q);
  std::vector<double> r(n), rTry(n), J(size_t(n) * m);
  double sse;
  if (!evaluate(fp, q, r.data(), J.data(), &sse)) return check;
  Svd svd(n, m);
  double sd[kMaxParms], delta[kMaxParms], mu = 0.0;
  for (int it = 0;; ++it) {
    if (!svd.decompose(J.data(), q)) return check;
    svd.deviations(fp.absoluteSigma ? 1.0 : sse / (n - m), sd);
    svd.step(r.data(), 0.0, delta);
    bool negligible = true;
    for (int j = 0; j < m; ++j)
      negligible = negligible && (std::fabs(delta[j]) <= kNegligibleStep * sd[j] || sd[j] == 0);
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
      svd.step(r.data(), mu, delta);
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
