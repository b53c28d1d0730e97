// Global fits: the curves of one model as one least-squares problem, the
// shared parameters one value for all curves, the others a value per curve
// (GlobalProblem, fit_global).  This file builds the problem, finds which
// shared bounds hold, measures the answer with the exact Jacobian and
// compares it with the curves fitted alone; block_normal.h solves its normal
// equations by their blocks, global_methods.cpp holds the engines.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <boost/math/distributions/fisher_f.hpp>

#include "catalogue.h"
#include "dual.h"
#include "global.h"

namespace tavfit {
namespace global {

std::string singular_text(const Global &g, int which) {
  return which == g.L.C ? std::string("The data do not determine the shared parameters.")
                        : with_int("The data do not determine the parameters of curve ", which + 1, ".");
}

// The slot of unknown i.
int slot_of(const Layout &L, size_t i) {
  const int j = i < size_t(L.s) ? L.sharedJ[i] : L.ownJ[(i - L.s) % L.u];
  return L.free.slot[j];
}

}  // namespace global

namespace {

using namespace global;

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
      const Dual r = points.residual(i, problem_value(g.curves[c], points.x[i], points.x2[i], p));
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

// A descent to the least-squares minimum kept within the bounds, from x (the
// parameters themselves, within them), with the exact Jacobian: Levenberg-
// Marquardt with Marquardt's scaling, a step cut where it would cross a
// bound, and an unknown on a bound that the descent would push out of it
// held there (ends: 1).  False where the model is not defined on the way.
bool descend_within(const Global &g, std::vector<double> &x, std::vector<char> &ends) {
  constexpr int kMaxSteps = 200;
  constexpr double kNegligible = 1e-12;  // relative change of every unknown
  const size_t M = g.L.size();
  // Made once: the steps copy into them and allocate nothing.
  Normal normal(g.L), fixed(g.L), damped(g.L), at(g.L);
  double sse;
  if (!exact_normal(g, x.data(), normal, &sse)) return false;
  double mu = 1e-3;
  std::vector<double> delta(M), trial(M);
  for (int step = 0; step < kMaxSteps; ++step) {
    fixed = normal;
    for (size_t i = 0; i < M; ++i) {
      const int k = slot_of(g.L, i);
      const double gi = normal.gradient(i);
      ends[i] = (x[i] <= g.lower(k) && gi > 0.0) || (x[i] >= g.upper(k) && gi < 0.0);
      if (ends[i]) fixed.fix(i);
    }
    bool moved = false, negligible = true;
    for (int attempt = 0; attempt < 40 && !moved; ++attempt, mu *= 10.0) {
      damped = fixed;
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
      double trialSse;
      if (exact_normal(g, trial.data(), at, &trialSse) && trialSse <= sse) {
        x.swap(trial);
        std::swap(normal, at);
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
  const Formula *formula = problem.model.program.get();
  const int id = checked_model_id(problem.model);
  if (id < 0) return "Undefined Fit Function";
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
  g.formula = formula;
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
                        options.max_iterations, false, nullptr, formula});
    const std::string notANumber = formula_start_fault(g.curves.back());
    if (!notANumber.empty()) return C == 1 ? notANumber : with_int("Curve ", c + 1, ": ") + notANumber;
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
    model_values(g.id, g.formula, points, p, r.fitted.data());
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

