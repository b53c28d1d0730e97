// The normal equations of a global fit, kept by blocks.
//
// A global fit's unknowns are the shared free parameters, then each curve's
// own free parameters in turn.  A curve's residuals depend on the shared
// ones and its own only, so J^T J is an arrow: a small block of the shared
// parameters, a block per curve on the diagonal, and the couplings between
// them.  Eliminating the curves' blocks first (the Schur complement) solves
// it with work and memory that grow with the number of curves, not with its
// square: 300 titrations sharing a Kd are 601 unknowns, whose dense normal
// equations would cost 200 times more per step.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "problem.h"

namespace tavfit {
namespace global {

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

// The inverse of the k x k matrix a (destroyed) into inv, by Gauss-Jordan
// with partial pivoting; false when it is singular.
inline bool invert(int k, double *a, double *inv) {
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
    double *B = B_.data() + size_t(c) * s * u, *D = D_.data() + size_t(c) * u * u;
    double *g = gO_.data() + size_t(c) * u;
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
    // At most kMaxParms of either kind: no allocation in a fit's steps.
    double S[kMaxParms * kMaxParms], work[kMaxParms * kMaxParms];
    std::copy(A_.begin(), A_.end(), S);
    symmetric(s, S);
    for (int c = 0; c < L_->C; ++c) {
      std::copy(D_.data() + size_t(c) * u * u, D_.data() + size_t(c) * u * u + u * u, work);
      symmetric(u, work);
      double *Dinv = Dinv_.data() + size_t(c) * u * u, *E = E_.data() + size_t(c) * s * u;
      if (u > 0 && !invert(u, work, Dinv)) return c;
      const double *B = B_.data() + size_t(c) * s * u;
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
    if (s > 0 && !invert(s, S, Sinv_.data())) return L_->C;
    return -1;
  }

  // The Gauss-Newton step, after factor().
  void step(double *delta) const {
    const int s = L_->s, u = L_->u;
    double rhs[kMaxParms];
    for (int a = 0; a < s; ++a) rhs[a] = -gS_[a];
    for (int c = 0; c < L_->C; ++c) {
      const double *E = E_.data() + size_t(c) * s * u, *g = gO_.data() + size_t(c) * u;
      for (int a = 0; a < s; ++a)
        for (int b = 0; b < u; ++b) rhs[a] += E[a * u + b] * g[b];
    }
    for (int a = 0; a < s; ++a) {
      double sum = 0.0;
      for (int b = 0; b < s; ++b) sum += Sinv_[a * s + b] * rhs[b];
      delta[a] = sum;
    }
    for (int c = 0; c < L_->C; ++c) {
      const double *B = B_.data() + size_t(c) * s * u, *Dinv = Dinv_.data() + size_t(c) * u * u,
                   *g = gO_.data() + size_t(c) * u;
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
    const double *E = E_.data() + size_t(c) * s * u, *Dinv = Dinv_.data() + size_t(c) * u * u;
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
    double *D = D_.data() + c * u * u, *B = B_.data() + c * s * u;
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

}  // namespace global
}  // namespace tavfit
