// Global fits: the curves of one model as one least-squares problem, the
// shared parameters one value for all curves, the others a value per curve.
//
// The unknowns are one vector: the shared free parameters first, then each
// curve's own free parameters in turn.  A curve's residuals depend on the
// shared ones and its own only, so the normal equations form an arrow: a
// small block of the shared parameters, one block per curve on the diagonal,
// and the couplings between them.  They are solved by eliminating the
// curves' blocks first (the Schur complement), so that work and memory grow
// with the number of curves, not with its square: 300 titrations sharing a
// Kd are 601 unknowns, whose dense normal equations would cost 200 times
// more per step.
//
// Tavrin runs its damped Gauss-Newton on these blocks, Ceres its own Schur
// solver; Levmar's dlevmar_dif solves them dense, up to a size.  The
// covariance comes for every method from the exact Jacobian at the answer,
// by the same blocks.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <boost/math/distributions/fisher_f.hpp>

#include "catalogue.h"
#include "ceres_fit.h"
#include "dual.h"
#include "levmar.h"
#include "methods.h"

namespace tavfit {
namespace {

// Where each free parameter of a curve finds its value among the unknowns.
struct Layout {
  int P = 0, C = 0;
  int hold[kMaxParms] = {};
  FreeSlots free;               // a curve's free slots
  bool shared[kMaxParms] = {};  // per free parameter
  int index[kMaxParms] = {};    // per free parameter: its place among the shared or the own
  int s = 0, u = 0;             // shared and own free parameters
  int sharedJ[kMaxParms] = {}, ownJ[kMaxParms] = {};  // the free parameters of each kind

  size_t size() const { return size_t(s) + size_t(C) * u; }
  size_t at(int c, int j) const { return shared[j] ? size_t(index[j]) : s + size_t(c) * u + index[j]; }
};

// The problem as the engines see it.
struct Global {
  Layout L;
  FitFuncId id = kLine;
  std::vector<FitProblem> curves;  // each curve's points and held values
  std::vector<double> slots;       // C x P: each curve's start values
  std::vector<double> zeros;       // the x2 of curves without one
  std::vector<int> offset;         // C + 1: where each curve's points begin among all
  Bounds box;
  bool bounded = false;
  int n = 0;
  int maxIterations = 0;
  bool absoluteSigma = false;

  const Bounds *bounds() const { return bounded ? &box : nullptr; }
  // Slot k's bounds, infinite where open.
  double lower(int k) const { return box.kind[k] & Bounds::kLower ? box.lower[k] : -INFINITY; }
  double upper(int k) const { return box.kind[k] & Bounds::kUpper ? box.upper[k] : INFINITY; }
  // Curve c's slots from the unknowns theta: bounded ones as the methods see
  // them (see Bounds), before to_model.
  void internal(int c, const double *theta, double *q) const {
    std::copy(&slots[size_t(c) * L.P], &slots[size_t(c) * L.P] + L.P, q);
    for (int j = 0; j < L.free.count; ++j) q[L.free.slot[j]] = theta[L.at(c, j)];
  }
  // Curve c's parameters as the model takes them.
  void parameters(int c, const double *theta, double *p) const {
    internal(c, theta, p);
    to_model(bounds(), L.P, p);
  }
};

// The inverse of the k x k matrix a (destroyed) into inv, by Gauss-Jordan
// with partial pivoting; false when it is singular.
bool invert(int k, double *a, double *inv) {
  std::fill(inv, inv + k * k, 0.0);
  for (int i = 0; i < k; ++i) inv[i * k + i] = 1.0;
  for (int q = 0; q < k; ++q) {
    int pivot = q;
    for (int r = q + 1; r < k; ++r)
      if (std::fabs(a[r * k + q]) > std::fabs(a[pivot * k + q])) pivot = r;
    const double d = a[pivot * k + q];
    if (d == 0.0 || !std::isfinite(d)) return false;
    if (pivot != q)
      for (int c = 0; c < k; ++c) {
        std::swap(a[q * k + c], a[pivot * k + c]);
        std::swap(inv[q * k + c], inv[pivot * k + c]);
      }
    for (int c = 0; c < k; ++c) {
      a[q * k + c] /= d;
      inv[q * k + c] /= d;
    }
    for (int r = 0; r < k; ++r) {
      if (r == q || a[r * k + q] == 0.0) continue;
      const double t = a[r * k + q];
      for (int c = 0; c < k; ++c) {
        a[r * k + c] -= t * a[q * k + c];
        inv[r * k + c] -= t * inv[q * k + c];
      }
    }
  }
  return true;
}

// The normal equations J^T J delta = -J^T r by blocks: A (s x s) of the
// shared parameters, per curve B (s x u) coupling them to its own and D
// (u x u) of its own, and the gradient's parts.  Only lower triangles of A
// and D are summed.
class Normal {
 public:
  explicit Normal(const Layout &L)
      : L_(&L), A_(size_t(L.s) * L.s), gS_(L.s), B_(size_t(L.C) * L.s * L.u),
        D_(size_t(L.C) * L.u * L.u), gO_(size_t(L.C) * L.u), Dinv_(D_.size()), E_(B_.size()),
        Sinv_(A_.size()) {}

  void clear() {
    for (std::vector<double> *v : {&A_, &gS_, &B_, &D_, &gO_}) std::fill(v->begin(), v->end(), 0.0);
  }

  // One residual r of curve c with its derivatives d, one per free parameter.
  void add(int c, const double *d, double r) {
    const int s = L_->s, u = L_->u;
    double *B = &B_[size_t(c) * s * u], *D = &D_[size_t(c) * u * u], *g = &gO_[size_t(c) * u];
    for (int a = 0; a < s; ++a) {
      const double da = d[L_->sharedJ[a]];
      gS_[a] += da * r;
      for (int b = 0; b <= a; ++b) A_[a * s + b] += da * d[L_->sharedJ[b]];
      for (int b = 0; b < u; ++b) B[a * u + b] += da * d[L_->ownJ[b]];
    }
    for (int a = 0; a < u; ++a) {
      const double da = d[L_->ownJ[a]];
      g[a] += da * r;
      for (int b = 0; b <= a; ++b) D[a * u + b] += da * d[L_->ownJ[b]];
    }
  }

  // Eliminates the curves' blocks: their inverses, E = B D^-1 and the inverse
  // of the Schur complement S = A - sum B D^-1 B^T.  Returns -1 when it
  // succeeds, else the curve whose block is singular, or C for S.
  int factor() {
    const int s = L_->s, u = L_->u;
    std::vector<double> S(A_), work(size_t(u) * u);
    symmetric(s, S.data());
    for (int c = 0; c < L_->C; ++c) {
      std::copy(&D_[size_t(c) * u * u], &D_[size_t(c) * u * u] + u * u, work.begin());
      symmetric(u, work.data());
      double *Dinv = &Dinv_[size_t(c) * u * u], *E = &E_[size_t(c) * s * u];
      if (u > 0 && !invert(u, work.data(), Dinv)) return c;
      const double *B = &B_[size_t(c) * s * u];
      for (int a = 0; a < s; ++a)
        for (int b = 0; b < u; ++b) {
          double sum = 0.0;
          for (int t = 0; t < u; ++t) sum += B[a * u + t] * Dinv[t * u + b];
          E[a * u + b] = sum;
        }
      for (int a = 0; a < s; ++a)
        for (int b = 0; b < s; ++b) {
          double sum = 0.0;
          for (int t = 0; t < u; ++t) sum += E[a * u + t] * B[b * u + t];
          S[a * s + b] -= sum;
        }
    }
    if (s > 0 && !invert(s, S.data(), Sinv_.data())) return L_->C;
    return -1;
  }

  // The Gauss-Newton step, after factor().
  void step(double *delta) const {
    const int s = L_->s, u = L_->u;
    std::vector<double> rhs(s);
    for (int a = 0; a < s; ++a) rhs[a] = -gS_[a];
    for (int c = 0; c < L_->C; ++c) {
      const double *E = &E_[size_t(c) * s * u], *g = &gO_[size_t(c) * u];
      for (int a = 0; a < s; ++a)
        for (int b = 0; b < u; ++b) rhs[a] += E[a * u + b] * g[b];
    }
    for (int a = 0; a < s; ++a) {
      double sum = 0.0;
      for (int b = 0; b < s; ++b) sum += Sinv_[a * s + b] * rhs[b];
      delta[a] = sum;
    }
    for (int c = 0; c < L_->C; ++c) {
      const double *B = &B_[size_t(c) * s * u], *Dinv = &Dinv_[size_t(c) * u * u],
                   *g = &gO_[size_t(c) * u];
      double right[kMaxParms];
      for (int b = 0; b < u; ++b) {
        right[b] = -g[b];
        for (int a = 0; a < s; ++a) right[b] -= B[a * u + b] * delta[a];
      }
      for (int a = 0; a < u; ++a) {
        double sum = 0.0;
        for (int b = 0; b < u; ++b) sum += Dinv[a * u + b] * right[b];
        delta[s + size_t(c) * u + a] = sum;
      }
    }
  }

  // The inverse of J^T J over curve c's free parameters (k x k, free order),
  // after factor(): S^-1 for the shared, -S^-1 E between shared and own,
  // D^-1 + E^T S^-1 E for the own.
  void curve_inverse(int c, double *cov) const {
    const int s = L_->s, u = L_->u, k = L_->free.count;
    const double *E = &E_[size_t(c) * s * u], *Dinv = &Dinv_[size_t(c) * u * u];
    auto sinv_e = [&](int a, int b) {
      double sum = 0.0;
      for (int t = 0; t < s; ++t) sum += Sinv_[a * s + t] * E[t * u + b];
      return sum;
    };
    for (int i = 0; i < k; ++i)
      for (int j = 0; j < k; ++j) {
        const int a = L_->index[i], b = L_->index[j];
        double v;
        if (L_->shared[i] && L_->shared[j]) {
          v = Sinv_[a * s + b];
        } else if (L_->shared[i]) {
          v = -sinv_e(a, b);
        } else if (L_->shared[j]) {
          v = -sinv_e(b, a);
        } else {
          v = Dinv[a * u + b];
          for (int t = 0; t < s; ++t) v += E[t * u + a] * sinv_e(t, b);
        }
        cov[i * k + j] = v;
      }
  }

  const std::vector<double> &shared_inverse() const { return Sinv_; }

  // J^T r of unknown i.
  double gradient(size_t i) const { return i < size_t(L_->s) ? gS_[i] : gO_[i - L_->s]; }

  // Takes unknown i out of the step: its row and column become the
  // identity's, its gradient 0.
  void fix(size_t i) {
    const int s = L_->s, u = L_->u;
    if (i < size_t(s)) {
      const int a = static_cast<int>(i);
      for (int b = 0; b < s; ++b) (b <= a ? A_[a * s + b] : A_[b * s + a]) = 0.0;
      A_[a * s + a] = 1.0;
      for (int c = 0; c < L_->C; ++c)
        for (int b = 0; b < u; ++b) B_[size_t(c) * s * u + a * u + b] = 0.0;
      gS_[a] = 0.0;
      return;
    }
    const size_t c = (i - s) / u;
    const int b = static_cast<int>((i - s) % u);
    double *D = &D_[c * u * u], *B = &B_[c * s * u];
    for (int t = 0; t < u; ++t) (t <= b ? D[b * u + t] : D[t * u + b]) = 0.0;
    D[b * u + b] = 1.0;
    for (int a = 0; a < s; ++a) B[a * u + b] = 0.0;
    gO_[i - s] = 0.0;
  }

  // Marquardt's damping: the diagonal times 1 + mu.
  void damp(double mu) {
    for (int a = 0; a < L_->s; ++a) A_[a * L_->s + a] *= 1.0 + mu;
    for (size_t c = 0; c < size_t(L_->C); ++c)
      for (int b = 0; b < L_->u; ++b) D_[c * L_->u * L_->u + b * L_->u + b] *= 1.0 + mu;
  }

 private:
  const Layout *L_;
  std::vector<double> A_, gS_, B_, D_, gO_, Dinv_, E_, Sinv_;

  static void symmetric(int k, double *m) {
    for (int a = 0; a < k; ++a)
      for (int b = a + 1; b < k; ++b) m[a * k + b] = m[b * k + a];
  }
};

std::string singular_text(const Global &g, int which) {
  return which == g.L.C ? std::string("The data do not determine the shared parameters.")
                        : with_int("The data do not determine the parameters of curve ", which + 1, ".");
}

// ---- Tavrin: the damped Gauss-Newton of the single fits, on the blocks.

constexpr double kStepFactor = 0.1;
constexpr double kConvergence = 1e-5;
constexpr double kNearZeroRmse = 1e-8;

// The normal equations at theta by forward differences, each free parameter
// stepped by v * 0.02 + 1e-9 as a single fit steps it, and the sum of
// squares.  False where the model is not defined.
bool tavrin_pass(const Global &g, const double *theta, Normal &normal, double *sse) {
  const Layout &L = g.L;
  normal.clear();
  double sum = 0.0;
  for (int c = 0; c < L.C; ++c) {
    const Points &points = g.curves[c].points;
    double q[kMaxParms], model[kMaxParms], stepped[kMaxParms], step[kMaxParms], d[kMaxParms];
    g.internal(c, theta, q);
    std::copy(q, q + L.P, model);
    to_model(g.bounds(), L.P, model);
    if (!model_defined(g.id, model)) return false;
    for (int j = 0; j < L.free.count; ++j) {
      const int k = L.free.slot[j];
      const double up = q[k] * 1.02 + 1e-9;
      stepped[j] = g.bounded ? g.box.value(k, up) : up;
      step[j] = q[k] * 0.02 + 1e-9;
      const double at = model[k];
      model[k] = stepped[j];
      const bool defined = model_defined(g.id, model);
      model[k] = at;
      if (!defined) return false;
    }
    for (int i = 0; i < points.n; ++i) {
      const double x = points.x[i], x2 = points.x2[i];
      const double f0 = model_value(g.id, x, x2, model);
      const double r = points.residual(i, f0);
      sum += r * r;
      for (int j = 0; j < L.free.count; ++j) {
        const int k = L.free.slot[j];
        const double at = model[k];
        model[k] = stepped[j];
        const double f1 = model_value(g.id, x, x2, model);
        model[k] = at;
        d[j] = points.weighted(i, (f1 - f0) / step[j]);
      }
      normal.add(c, d, r);
    }
  }
  *sse = sum;
  return true;
}

void tavrin_global(const Global &g, double *theta, MethodOutput &out) {
  const size_t M = g.L.size();
  Normal normal(g.L);
  std::vector<double> delta(M);
  double sum = 0.0;
  if (!tavrin_pass(g, theta, normal, &sum)) return out.fail(kXy2ExcludedText);
  const double startRmse = std::sqrt(sum / g.n);
  double rmse = startRmse, s0 = 0.0, s1 = 0.0;
  bool nearZero = false;
  int iterations = 0;
  for (;;) {
    const double previousRmse = rmse;
    if (s0 != 0.0) {  // the first pass only linearises
      s1 = s0;
      const int singular = normal.factor();
      if (singular >= 0) {
        out.fail("Not possible to determine new parameters during convergence: " +
                 singular_text(g, singular));
        break;
      }
      normal.step(delta.data());
      for (size_t i = 0; i < M; ++i) theta[i] += kStepFactor * delta[i];
    }
    if (!tavrin_pass(g, theta, normal, &sum)) {
      out.fail(kXy2ExcludedText);
      break;
    }
    s0 = std::sqrt(sum / static_cast<double>(g.n - static_cast<long long>(M)));
    rmse = std::sqrt(sum / g.n);
    nearZero = rmse < kNearZeroRmse;
    if (nearZero) {
      out.warn("RMSE approaching zero, stopping iterative process.");
      break;
    }
    if (rmse * 0.01 > previousRmse) {
      out.fail("Difficulty in convergence, try to improve on your starting parameters or hold "
               "more parameters constant");
      break;
    }
    if (!std::isfinite(sum)) {
      out.fail("The sum of squared residuals is not a finite number; check the data and the "
               "start values.");
      break;
    }
    if (std::fabs(s1 - s0) < kConvergence * s0) break;
    if (iterations >= g.maxIterations) {
      out.terminate(false, 3, "iteration limit reached without convergence");
      out.fail(with_int("Maximum iterations reached without convergence: ", g.maxIterations, "."));
      break;
    }
    ++iterations;
  }
  out.iterations = iterations;
  if (out.failed) return;
  if (nearZero)
    out.terminate(false, 2, "RMSE below 1e-8, stopped as exact data");
  else
    out.terminate(true, 1, "relative change of the residual standard error below 1e-5");
  if (!nearZero && rmse >= startRmse) out.fail("Solution after convergence is somehow worse.");
}

// ---- Levmar: dlevmar_dif on all unknowns at once.

// The callback's state.  dlevmar_dif differences one unknown at a time, and
// an unknown of one curve moves that curve's values only: the values of the
// curves whose unknowns did not change since the last call are copied from
// it, so that a Jacobian costs about two evaluations of every point instead
// of one per unknown.
struct LevmarCall {
  const Global *g;
  std::vector<double> theta, values;
  bool have = false;
  bool undefined = false;
};

void global_function(double *p, double *hx, int m, int n, void *adata) {
  LevmarCall &call = *static_cast<LevmarCall *>(adata);
  const Global &g = *call.g;
  const Layout &L = g.L;
  if (!call.undefined) {
    bool sharedMoved = !call.have;
    for (int a = 0; a < L.s && !sharedMoved; ++a) sharedMoved = p[a] != call.theta[a];
    for (int c = 0; c < L.C && !call.undefined; ++c) {
      const size_t own = L.s + size_t(c) * L.u;
      bool moved = sharedMoved;
      for (int a = 0; a < L.u && !moved; ++a) moved = p[own + a] != call.theta[own + a];
      double *out = hx + g.offset[c];
      const Points &points = g.curves[c].points;
      if (!moved) {
        std::copy(&call.values[g.offset[c]], &call.values[g.offset[c]] + points.n, out);
        continue;
      }
      double model[kMaxParms];
      g.parameters(c, p, model);
      if (!model_values(g.id, points, model, out)) {
        call.undefined = true;
        break;
      }
      if (points.sigma != nullptr)
        for (int i = 0; i < points.n; ++i) out[i] /= points.sigma[i];
    }
  }
  if (call.undefined) {
    std::fill(hx, hx + n, NAN);
    return;
  }
  call.theta.assign(p, p + m);
  call.values.assign(hx, hx + n);
  call.have = true;
}

void levmar_global(const Global &g, double *theta, MethodOutput &out) {
  const int m = static_cast<int>(g.L.size()), n = g.n;
  if (m > kMaxLevmarGlobalParameters)
    return out.fail(with_int("levmar solves the normal equations of a global fit whole, for at most ",
                             kMaxLevmarGlobalParameters, " free parameters; ") +
                    with_int("this fit has ", m, ". -tavrin and -ceres solve them by blocks."));
  double opts[5] = {1E-03, 1E-15, 1E-15, 1E-20, 1E-06};
  double info[LM_INFO_SZ];
  std::vector<double> work(LM_DIF_WORKSZ(size_t(m), size_t(n)), 0.0);
  std::vector<double> y(n);
  for (int c = 0; c < g.L.C; ++c) {
    const Points &points = g.curves[c].points;
    for (int i = 0; i < points.n; ++i) y[g.offset[c] + i] = points.weighted(i, points.y[i]);
  }
  LevmarCall call = {&g, {}, {}, false, false};
  // No covariance from the solver: the exact one is made for every method.
  const int result = dlevmar_dif(global_function, theta, y.data(), m, n, g.maxIterations, opts,
                                 info, work.data(), nullptr, &call);
  if (call.undefined) return out.fail(kXy2ExcludedText);
  levmar_ending(result, info, out);
}

// ---- Ceres: its Schur solver, in the module.

void ceres_global(const Global &g, double *theta, MethodOutput &out) {
  std::vector<int> shared(g.L.P, 0), kind(g.L.P, 0);
  for (int j = 0; j < g.L.free.count; ++j) shared[g.L.free.slot[j]] = g.L.shared[j] ? 1 : 0;
  std::vector<double> x, y, x2, sigma;
  for (const FitProblem &fp : g.curves) {
    const Points &p = fp.points;
    x.insert(x.end(), p.x, p.x + p.n);
    y.insert(y.end(), p.y, p.y + p.n);
    x2.insert(x2.end(), p.x2, p.x2 + p.n);
    if (p.sigma != nullptr) sigma.insert(sigma.end(), p.sigma, p.sigma + p.n);
  }
  const CeresGlobalProblem in = {g.id,
                                 g.L.P,
                                 g.L.hold,
                                 shared.data(),
                                 g.L.C,
                                 g.offset.data(),
                                 g.slots.data(),
                                 x.data(),
                                 y.data(),
                                 x2.data(),
                                 sigma.empty() ? nullptr : sigma.data(),
                                 g.maxIterations < 0 ? 0 : g.maxIterations,
                                 g.bounded ? g.box.kind : nullptr,
                                 g.bounded ? g.box.lower : nullptr,
                                 g.bounded ? g.box.upper : nullptr,
                                 theta};
  ceres_global_fit(in, out);
}

// ---- What every method's answer is measured by.

// The normal equations at x, the unknowns as the parameters themselves (not
// the variables of their bounds), with the model's exact derivatives, and
// the sum of squares.  False where the model is not defined or not finite.
bool exact_normal(const Global &g, const double *x, Normal &normal, double *sse) {
  using Dual = dual::Dual<kMaxParms>;
  const Layout &L = g.L;
  normal.clear();
  double sum = 0.0;
  for (int c = 0; c < L.C; ++c) {
    const Points &points = g.curves[c].points;
    double full[kMaxParms];
    g.internal(c, x, full);
    if (!model_defined(g.id, full)) return false;
    Dual p[kMaxParms];
    for (int k = 0; k < L.P; ++k) p[k] = Dual(full[k]);
    for (int j = 0; j < L.free.count; ++j) p[L.free.slot[j]] = Dual::variable(full[L.free.slot[j]], j);
    for (int i = 0; i < points.n; ++i) {
      const Dual r = points.residual(i, model_value(g.id, points.x[i], points.x2[i], p));
      if (!std::isfinite(r.a)) return false;
      for (int j = 0; j < L.free.count; ++j)
        if (!std::isfinite(r.v[j])) return false;
      sum += r.a * r.a;
      normal.add(c, r.v, r.a);
    }
  }
  *sse = sum;
  return true;
}

// The slot of unknown i.
int slot_of(const Layout &L, size_t i) {
  const int j = i < size_t(L.s) ? L.sharedJ[i] : L.ownJ[(i - L.s) % L.u];
  return L.free.slot[j];
}

// A descent to the least-squares minimum kept within the bounds, from x (the
// parameters themselves, within them), with the exact Jacobian: Levenberg-
// Marquardt with Marquardt's scaling, a step cut where it would cross a
// bound, and an unknown on a bound that the descent would push out of it
// held there (ends: 1).  False where the model is not defined on the way.
bool descend_within(const Global &g, std::vector<double> &x, std::vector<char> &ends) {
  constexpr int kMaxSteps = 200;
  constexpr double kNegligible = 1e-12;  // relative change of every unknown
  const size_t M = g.L.size();
  Normal normal(g.L);
  double sse;
  if (!exact_normal(g, x.data(), normal, &sse)) return false;
  double mu = 1e-3;
  std::vector<double> delta(M), trial(M);
  for (int step = 0; step < kMaxSteps; ++step) {
    Normal fixed = normal;
    for (size_t i = 0; i < M; ++i) {
      const int k = slot_of(g.L, i);
      const double gi = normal.gradient(i);
      ends[i] = (x[i] <= g.lower(k) && gi > 0.0) || (x[i] >= g.upper(k) && gi < 0.0);
      if (ends[i]) fixed.fix(i);
    }
    bool moved = false, negligible = true;
    for (int attempt = 0; attempt < 40 && !moved; ++attempt, mu *= 10.0) {
      Normal damped = fixed;
      damped.damp(mu);
      if (damped.factor() >= 0) continue;
      damped.step(delta.data());
      negligible = true;
      for (size_t i = 0; i < M; ++i) {
        const int k = slot_of(g.L, i);
        trial[i] = std::min(std::max(x[i] + delta[i], g.lower(k)), g.upper(k));
        if (std::fabs(trial[i] - x[i]) > kNegligible * std::max(std::fabs(x[i]), 1e-300))
          negligible = false;
      }
      if (negligible) break;
      Normal at(g.L);
      double trialSse;
      if (exact_normal(g, trial.data(), at, &trialSse) && trialSse <= sse) {
        x.swap(trial);
        normal = at;
        sse = trialSse;
        mu = std::max(mu / 30.0, 1e-12);  // the loop's *10 follows
        moved = true;
      }
    }
    if (!moved || negligible) break;
  }
  return true;
}

// The global problem from problem, or why there is none.
std::string build(const GlobalProblem &problem, const Options &options, Global &g) {
  const int id = problem.model.id;
  if (!valid_fit_func(id) ||
      problem.model.parameters.size() != static_cast<size_t>(catalogue_entry(id).parmNum))
    return "Undefined Fit Function";
  const int P = static_cast<int>(problem.model.parameters.size());
  const int C = static_cast<int>(problem.curves.size());
  if (C < 1) return "The global problem has no curves.";
  if (problem.start.size() != problem.curves.size())
    return with_int("The global problem has ", static_cast<long long>(problem.start.size()),
                    " rows of start values for ") +
           with_int("", C, " curves.");
  if (problem.shared.size() != static_cast<size_t>(P))
    return with_int("The global problem has ", static_cast<long long>(problem.shared.size()),
                    " shared flags for ") +
           with_int("", P, " parameters.");
  if (std::find(problem.shared.begin(), problem.shared.end(), true) == problem.shared.end())
    return "The global problem shares no parameter.";
  Layout &L = g.L;
  L.P = P;
  L.C = C;
  g.id = static_cast<FitFuncId>(id);
  g.maxIterations = options.max_iterations;
  g.slots.resize(size_t(C) * P);
  g.offset.assign(1, 0);
  size_t zeros = 0;
  for (const Curve &curve : problem.curves)
    if (curve.x2.empty()) zeros = std::max(zeros, curve.x.size());
  g.zeros.assign(zeros, 0.0);
  for (int c = 0; c < C; ++c) {
    // Each curve as the problem a single fit would see: its shape and bounds
    // are checked as a single fit checks them.
    const Problem one = {problem.model, problem.curves[c], problem.start[c], problem.held,
                         problem.lower, problem.upper};
    const std::string shape = malformed(one);
    if (!shape.empty()) return C == 1 ? shape : with_int("Curve ", c + 1, ": ") + shape;
    if (c == 0) {
      for (int k = 0; k < P; ++k) L.hold[k] = !problem.held.empty() && problem.held[k] ? 1 : 0;
      L.free = free_slots(P, L.hold);
      for (int j = 0; j < L.free.count; ++j) {
        L.shared[j] = problem.shared[L.free.slot[j]];
        if (L.shared[j]) {
          L.sharedJ[L.s] = j;
          L.index[j] = L.s++;
        } else {
          L.ownJ[L.u] = j;
          L.index[j] = L.u++;
        }
      }
    }
    for (int k = 0; k < P; ++k)
      g.slots[size_t(c) * P + k] = problem.shared[k] ? problem.start[0][k] : problem.start[c][k];
    Problem firstShared = one;
    firstShared.start.assign(&g.slots[size_t(c) * P], &g.slots[size_t(c) * P] + P);
    Bounds box;
    bool any = false;
    const std::string bad = take_bounds(firstShared, L.hold, &box, &any);
    if (!bad.empty()) return C == 1 ? bad : with_int("Curve ", c + 1, ": ") + bad;
    if (c == 0) {
      g.box = box;
      g.bounded = any;
    }
    const Curve &curve = problem.curves[c];
    const int n = static_cast<int>(curve.x.size());
    const Points points = {curve.x.data(), curve.y.data(),
                           curve.x2.empty() ? g.zeros.data() : curve.x2.data(), n,
                           curve.sigma.empty() ? nullptr : curve.sigma.data()};
    g.curves.push_back({g.id, P, points, &g.slots[size_t(c) * P], L.hold, L.free,
                        options.max_iterations, false});
    if (static_cast<long long>(g.n) + n > INT32_MAX) return "The curves have too many points.";
    g.n += n;
    g.offset.push_back(g.n);
  }
  g.absoluteSigma = problem.curves[0].absolute_sigma && !problem.curves[0].sigma.empty();
  if (L.free.count == 0) return "Every parameter is held; there is nothing to fit.";
  if (static_cast<long long>(g.n) <= static_cast<long long>(L.size()))
    return with_int("The curves have ", g.n, " points for ") +
           with_int("", static_cast<long long>(L.size()), " free parameters.");
  return "";
}

// The F-test of the global fit against each curve fitted alone, with the
// same method.
SeparateFits compare_separate(const GlobalProblem &problem, Method method, const Options &options,
                              const GlobalResult &global) {
  SeparateFits t;
  const int C = static_cast<int>(problem.curves.size());
  int free = 0;
  for (int c = 0; c < C; ++c) {
    // From the curve's values in the global fit: near its own minimum, so
    // that a fit alone does not fail for want of a start, and found at once.
    const Problem one = {problem.model, problem.curves[c], global.curves[c].value, problem.held,
                         problem.lower, problem.upper};
    const FitResult r = fit(one, method, options);
    if (!r.ok) {
      t.failed_curve = c;
      t.reason = with_int("The fit of curve ", c + 1, " alone failed: ") + r.message;
      return t;
    }
    t.chi_square += r.sse;
    free = static_cast<int>(r.free.size());
  }
  t.dof = global.n - C * free;
  t.dof_numerator = global.dof - t.dof;
  if (t.dof < 1) {
    t.reason = "The curves fitted alone leave no degree of freedom.";
  } else if (t.dof_numerator < 1) {
    t.reason = "No free parameter is shared.";
  } else if (!(t.chi_square > 0.0)) {
    t.reason = "The curves fitted alone fit them exactly.";
  } else {
    t.f = ((global.chi_square - t.chi_square) / t.dof_numerator) / (t.chi_square / t.dof);
    t.p = t.f <= 0.0 ? 1.0
                     : boost::math::cdf(boost::math::complement(
                           boost::math::fisher_f(t.dof_numerator, t.dof), t.f));
    t.done = std::isfinite(t.f);
    if (!t.done) t.reason = "The F statistic is not a finite number.";
  }
  return t;
}

}  // namespace

namespace {

// One run of method on g from its start values; the answer, as the
// parameters themselves (not the variables of their bounds), in x.
void run_method(const Global &g, Method method, std::vector<double> &x, MethodOutput &out) {
  const Layout &L = g.L;
  std::vector<double> theta(L.size());
  for (int c = 0; c < L.C; ++c)
    for (int j = 0; j < L.free.count; ++j) {
      const int k = L.free.slot[j];
      const double v = g.slots[size_t(c) * L.P + k];
      theta[L.at(c, j)] = g.bounded && g.box.kind[k] != Bounds::kNone ? g.box.internal(k, v) : v;
    }
  for (double v : theta)
    if (!std::isfinite(v)) return out.fail("A start value of a free parameter is not a finite number.");
  if (method == Method::Levmar)
    levmar_global(g, theta.data(), out);
  else if (method == Method::Ceres)
    ceres_global(g, theta.data(), out);
  else
    tavrin_global(g, theta.data(), out);
  x.resize(theta.size());
  for (size_t i = 0; i < theta.size(); ++i) {
    const int k = slot_of(L, i);
    x[i] = g.bounded && g.box.kind[k] != Bounds::kNone ? g.box.value(k, theta[i]) : theta[i];
  }
}

// Each curve's parameters (C x P) at the unknowns x of g, and back.
std::vector<double> curve_values(const Global &g, const std::vector<double> &x) {
  std::vector<double> values(size_t(g.L.C) * g.L.P);
  for (int c = 0; c < g.L.C; ++c) g.internal(c, x.data(), &values[size_t(c) * g.L.P]);
  return values;
}
std::vector<double> unknowns(const Global &g, const std::vector<double> &values) {
  std::vector<double> x(g.L.size());
  for (int c = 0; c < g.L.C; ++c)
    for (int j = 0; j < g.L.free.count; ++j)
      x[g.L.at(c, j)] = values[size_t(c) * g.L.P + g.L.free.slot[j]];
  return x;
}

// The shared parameters a descent within the bounds ended on, by slot.
std::vector<bool> shared_on_bound(const Global &g, const std::vector<char> &ends) {
  std::vector<bool> on(g.L.P, false);
  for (int a = 0; a < g.L.s; ++a) on[slot_of(g.L, a)] = ends[a] != 0;
  return on;
}

}  // namespace

GlobalResult fit_global(const GlobalProblem &problem, Method method, const Options &options) {
  GlobalResult result;
  Global g;
  const std::string bad = build(problem, options, g);
  if (!bad.empty()) {
    result.message = bad;
    return result;
  }
  const Layout &L = g.L;
  const size_t M = L.size();
  std::vector<double> x(M);
  MethodOutput out;
  std::vector<bool> onBound(L.P, false);  // shared parameters held on a bound
  if (!g.bounded) {
    run_method(g, method, x, out);
  } else {
    // As a single fit finds them: the shared parameters whose bounds hold the
    // minimum, where a descent within the bounds ends from the start values,
    // then from each answer, the method fitting with them held on their
    // bounds, until the two agree.  A curve's own parameters are fitted
    // through the transformation of their bounds.
    std::vector<double> descent = unknowns(g, g.slots);
    std::vector<char> ends(M, 0);
    if (descend_within(g, descent, ends)) onBound = shared_on_bound(g, ends);
    bool again = false;
    for (int round = 0;; ++round) {
      GlobalProblem q = problem;
      q.held.resize(L.P, false);
      const std::vector<double> reached = curve_values(g, descent);
      for (int c = 0; c < L.C; ++c)
        for (int k = 0; k < L.P; ++k) {
          const double v = reached[size_t(c) * L.P + k];
          double &start = q.start[c][k];
          // On a bound the transformation has no slope to move a start by.
          if (onBound[k] || again || start == g.lower(k) || start == g.upper(k)) start = v;
          if (onBound[k]) q.held[k] = true;
        }
      Global held;
      const std::string refused = build(q, options, held);
      if (!refused.empty()) {
        out.fail(refused);
        break;
      }
      out = MethodOutput();
      std::vector<double> answer;
      run_method(held, method, answer, out);
      // The transformation bends the path a method takes; one that fails on
      // it from the start values goes again from where the descent ended.
      if (out.failed && round == 0 && !again) {
        again = true;
        --round;
        continue;
      }
      if (out.failed) break;
      x = unknowns(g, curve_values(held, answer));
      if (round > L.s) break;
      descent = x;
      if (!descend_within(g, descent, ends)) break;
      const std::vector<bool> now = shared_on_bound(g, ends);
      if (now == onBound) break;
      onBound = now;
    }
    if (again && !out.failed)
      out.note("Within the bounds the global fit failed from the start values; it was run again "
               "from where a descent within the bounds ended.");
  }
  result.iterations = out.iterations;
  result.termination = std::move(out.termination);
  result.messages = std::move(out.messages);
  if (out.failed) {
    result.message = std::move(out.failure);
    return result;
  }

  Normal normal(L);
  double sse;
  if (!exact_normal(g, x.data(), normal, &sse)) {
    result.message = "The model or its derivatives are not finite numbers at the answer.";
    return result;
  }
  const int singular = normal.factor();
  if (singular >= 0) {
    result.message = singular_text(g, singular);
    return result;
  }

  result.n = g.n;
  result.free_parameters = static_cast<int>(M);
  result.dof = g.n - result.free_parameters;
  const int k = L.free.count;
  for (int c = 0; c < L.C; ++c) {
    const Points &points = g.curves[c].points;
    FitResult r;
    double p[kMaxParms];
    g.internal(c, x.data(), p);
    r.value.assign(p, p + L.P);
    r.fitted.resize(points.n);
    model_values(g.id, points, p, r.fitted.data());
    r.sse = squared_residuals(points, r.fitted.data());
    const Points unweighted = {points.x, points.y, points.x2, points.n};
    r.rmse = std::sqrt(squared_residuals(unweighted, r.fitted.data()) / points.n);
    result.chi_square += r.sse;
    result.curves.push_back(std::move(r));
  }
  const double scale = g.absoluteSigma ? 1.0 : result.chi_square / result.dof;
  for (int c = 0; c < L.C; ++c) {
    FitResult &r = result.curves[c];
    r.ok = true;
    r.sd.assign(L.P, 0.0);
    r.at_bound = onBound;
    r.covariance.resize(size_t(k) * k);
    normal.curve_inverse(c, r.covariance.data());
    for (double &v : r.covariance) v *= scale;
    for (int j = 0; j < k; ++j) {
      r.free.push_back(L.free.slot[j]);
      r.sd[L.free.slot[j]] = std::sqrt(r.covariance[size_t(j) * k + j]);
    }
    r.iterations = result.iterations;
    r.termination = result.termination;
  }
  for (int j = 0; j < k; ++j)
    if (L.shared[j]) result.shared_free.push_back(L.free.slot[j]);
  result.shared_covariance = normal.shared_inverse();
  for (double &v : result.shared_covariance) v *= scale;
  const double n = g.n;
  result.aic = n * std::log(result.chi_square / n) + 2.0 * result.free_parameters;
  result.bic = n * std::log(result.chi_square / n) + result.free_parameters * std::log(n);
  result.ok = true;
  result.separate = compare_separate(problem, method, options, result);
  return result;
}

}  // namespace tavfit
