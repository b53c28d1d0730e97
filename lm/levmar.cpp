// dlevmar_dif: Levenberg-Marquardt with a finite-difference Jacobian kept
// fresh by Broyden rank-one updates, on LAPACK/BLAS.

#include "levmar.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Fortran LAPACK/BLAS.  The trailing size_t arguments are the hidden lengths
// gfortran passes for CHARACTER arguments.
extern "C" {
void dgetrf_(const int *m, const int *n, double *a, const int *lda, int *ipiv, int *info);
void dgetrs_(const char *trans, const int *n, const int *nrhs, const double *a, const int *lda,
             const int *ipiv, double *b, const int *ldb, int *info, std::size_t trans_len);
void dgesvd_(const char *jobu, const char *jobvt, const int *m, const int *n, double *a,
             const int *lda, double *s, double *u, const int *ldu, double *vt, const int *ldvt,
             double *work, const int *lwork, int *info, std::size_t jobu_len,
             std::size_t jobvt_len);
void dgemm_(const char *transa, const char *transb, const int *m, const int *n, const int *k,
            const double *alpha, const double *a, const int *lda, const double *b,
            const int *ldb, const double *beta, double *c, const int *ldc,
            std::size_t transa_len, std::size_t transb_len);
}

namespace {

constexpr double kOneThird = 0.3333333334;
constexpr double kEpsilon = 1E-12;
// Above this many Jacobian entries J^T J goes through BLAS.
constexpr long long kSmallProblem = 1024;

// e = x - y; returns ||e||^2.  The summation order (four interleaved
// accumulators, blocks of eight from the top down, then the tail) is fixed so
// that results are reproducible bit for bit.
double residual_l2(double *e, const double *x, const double *y, int n) {
  const int blocked = 8 * (n / 8);
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  for (int i = blocked - 1; i > 0; i -= 8) {
    for (int t = 0; t < 8; ++t) {
      const int k = i - t;
      e[k] = x[k] - y[k];
      s[t % 4] += e[k] * e[k];
    }
  }
  // The r leftover items enter the accumulator cycle s0 s1 s2 s3 s0 s1 s2 at
  // position 7 - r, so the last one always lands in s2.
  for (int i = blocked, slot = 7 - (n - blocked); i < n; ++i, ++slot) {
    e[i] = x[i] - y[i];
    s[slot % 4] += e[i] * e[i];
  }
  return s[0] + s[1] + s[2] + s[3];
}

using Model = void (*)(double *p, double *hx, int m, int n, void *adata);

// jac[i*m+j] = d hx[i] / d p[j] by forward differences; p is restored.
void jacobian_forward(Model func, double *p, const double *hx, double *wrk, double delta,
                      double *jac, int m, int n, void *adata) {
  for (int j = 0; j < m; ++j) {
    double d = std::fabs(1E-04 * p[j]);
    if (d < delta) d = delta;
    const double saved = p[j];
    p[j] += d;
    func(p, wrk, m, n, adata);
    p[j] = saved;
    const double r = 1.0 / d;
    for (int i = 0; i < n; ++i) jac[i * m + j] = (wrk[i] - hx[i]) * r;
  }
}

// Same by central differences (twice the evaluations, second-order accurate).
void jacobian_central(Model func, double *p, double *wrk, double *wrk2, double delta,
                      double *jac, int m, int n, void *adata) {
  for (int j = 0; j < m; ++j) {
    double d = std::fabs(1E-04 * p[j]);
    if (d < delta) d = delta;
    const double saved = p[j];
    p[j] -= d;
    func(p, wrk, m, n, adata);
    p[j] = saved + d;
    func(p, wrk2, m, n, adata);
    p[j] = saved;
    const double r = 0.5 / d;
    for (int i = 0; i < n; ++i) jac[i * m + j] = (wrk2[i] - wrk[i]) * r;
  }
}

// jacTjac = J^T J, jacTe = J^T e.
void normal_equations(const double *jac, const double *e, double *jacTjac, double *jacTe, int m,
                      int n) {
  if (static_cast<long long>(n) * m <= kSmallProblem) {
    for (int i = 0; i < m * m; ++i) jacTjac[i] = 0.0;
    for (int i = 0; i < m; ++i) jacTe[i] = 0.0;
    for (int l = n - 1; l >= 0; --l) {
      const double *row = jac + static_cast<std::ptrdiff_t>(l) * m;
      for (int i = m - 1; i >= 0; --i) {
        const double a = row[i];
        for (int j = i; j >= 0; --j) jacTjac[i * m + j] += row[j] * a;
        jacTe[i] += a * e[l];
      }
    }
    for (int i = 1; i < m; ++i)
      for (int j = 0; j < i; ++j) jacTjac[j * m + i] = jacTjac[i * m + j];
  } else {
    // Row-major J (n x m) is column-major J^T (m x n): C = J^T (J^T)^T.
    const double one = 1.0, zero = 0.0;
    dgemm_("N", "T", &m, &m, &n, &one, jac, &m, jac, &m, &zero, jacTjac, &m, 1, 1);
    for (int l = 0; l < m; ++l) jacTe[l] = 0.0;
    for (int i = 0; i < n; ++i) {
      const double *row = jac + static_cast<std::ptrdiff_t>(i) * m;
      for (int l = 0; l < m; ++l) jacTe[l] += row[l] * e[i];
    }
  }
}

void to_column_major(const double *a, double *out, int m) {
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) out[i + j * m] = a[i * m + j];
}

// Solves a x = b (a: m x m, symmetric) by LU.  lu (m*m) and ipiv (m) are
// scratch.  Returns false when a is singular.
bool solve_lu(const double *a, const double *b, double *x, int m, double *lu, int *ipiv) {
  to_column_major(a, lu, m);
  for (int i = 0; i < m; ++i) x[i] = b[i];

  // The arguments are valid by construction, so info < 0 (an illegal
  // argument, a programming error) cannot come back: LAPACK's own error
  // handler reports such a call and stops the program first.  dgetrs_ cannot
  // fail once dgetrf_ has succeeded on the same matrix.
  int info = 0;
  dgetrf_(&m, &m, lu, &m, ipiv, &info);
  if (info > 0) {
    std::fprintf(stderr,
                 "dlevmar_dif(): singular matrix, U(%d,%d) is exactly zero in its LU "
                 "factorisation\n",
                 info, info);
    return false;
  }
  const int nrhs = 1;
  dgetrs_("N", &m, &nrhs, lu, &m, ipiv, x, &m, &info, 1);
  return true;
}

// Doubles of scratch pseudo_inverse needs for an m x m matrix: the copy, U,
// V^T, the singular values and dgesvd's minimum work of 5 m.
std::size_t svd_scratch_size(std::size_t m) { return 3 * m * m + 6 * m; }

// b = pinv(a) for the m x m matrix a, via SVD, in svd_scratch_size(m) doubles
// of scratch.  Returns the numerical rank; 0 with b unwritten if the SVD
// cannot be done.
int pseudo_inverse(const double *a, double *b, int m, double *scratch) {
  const std::size_t mm = static_cast<std::size_t>(m) * m;
  double *acm = scratch;
  double *u = acm + mm;
  double *vt = u + mm;
  double *s = vt + mm;
  double *work = s + m;
  const int lwork = 5 * m;

  to_column_major(a, acm, m);
  int info = 0;
  dgesvd_("A", "A", &m, &m, acm, &m, s, u, &m, vt, &m, work, &lwork, &info, 1, 1);
  if (info != 0) {
    std::fprintf(stderr, "dlevmar_dif(): dgesvd_ failed (info = %d), no covariance\n", info);
    return 0;
  }

  for (std::size_t i = 0; i < mm; ++i) b[i] = 0.0;
  const double eps = DBL_EPSILON;
  int rank = 0;
  for (; rank < m && s[rank] > eps * s[0]; ++rank) {
    const double one_over_s = 1.0 / s[rank];
    for (int i = 0; i < m; ++i)
      for (int j = 0; j < m; ++j) b[i * m + j] += vt[rank + i * m] * u[j + rank * m] * one_over_s;
  }
  return rank;
}

// covar = pinv(jacTjac) * sumsq / (n - rank).
void covariance(const double *jacTjac, double *covar, double sumsq, int m, int n,
                double *scratch) {
  const int rank = pseudo_inverse(jacTjac, covar, m, scratch);
  if (rank == 0) return;
  const double fact = sumsq / static_cast<double>(n - rank);
  for (int i = 0; i < m * m; ++i) covar[i] *= fact;
}

double max_diagonal(const double *a, int m) {
  double v = DBL_MIN;
  for (int i = 0; i < m; ++i) v = std::max(v, a[i * m + i]);  // NaN entries are passed over
  return v;
}

}  // namespace

extern "C" int dlevmar_dif(void (*func)(double *p, double *hx, int m, int n, void *adata),
                           double *p, double *x, int m, int n, int itmax, double opts[5],
                           double info[LM_INFO_SZ], double *work, double *covar, void *adata) {
  if (n < m) {
    std::fprintf(stderr,
                 "dlevmar_dif(): cannot solve a problem with fewer measurements [%d] than "
                 "unknowns [%d]\n",
                 n, m);
    return LM_ERROR;
  }
  if (m < 0) {
    std::fprintf(stderr, "dlevmar_dif(): invalid number of unknowns [%d]\n", m);
    return LM_ERROR;
  }

  double tau = LM_INIT_MU, eps1 = LM_STOP_THRESH, eps2 = LM_STOP_THRESH, eps3 = LM_STOP_THRESH;
  double delta = LM_DIFF_DELTA;
  if (opts != nullptr) {
    tau = opts[0];
    eps1 = opts[1];
    eps2 = opts[2];
    eps3 = opts[3];
    delta = opts[4];
  }
  const bool central = delta < 0.0;
  if (central) delta = -delta;
  const double eps2_sq = eps2 * eps2;

  // One allocation up front, so nothing is allocated while iterating: the
  // work area if the caller gave none, the LU copy (whose room the covariance
  // SVD takes over at the end), the pivots.
  const std::size_t mz = static_cast<std::size_t>(m), nz = static_cast<std::size_t>(n);
  const std::size_t worksz = LM_DIF_WORKSZ(mz, nz);
  std::size_t ndoubles = svd_scratch_size(mz);
  if (work == nullptr) ndoubles += worksz;
  void *block = std::malloc(ndoubles * sizeof(double) + mz * sizeof(int) + 1);
  if (block == nullptr) {
    std::fprintf(stderr, "dlevmar_dif(): memory allocation request failed\n");
    return LM_ERROR;
  }
  double *scratch = static_cast<double *>(block);
  if (work == nullptr) {
    work = scratch;
    scratch += worksz;
  }
  double *lu = scratch;
  int *ipiv = reinterpret_cast<int *>(lu + svd_scratch_size(mz));

  double *e = work;
  double *hx = e + nz;
  double *jacTe = hx + nz;
  double *jac = jacTe + mz;
  double *jacTjac = jac + nz * mz;
  double *Dp = jacTjac + mz * mz;
  double *diag = Dp + mz;
  double *pDp = diag + mz;
  double *wrk = pDp + mz;
  double *wrk2 = wrk + nz;

  // Read when no Jacobian is ever formed (stop before the first one): start
  // from a zero J^T J rather than from whatever the work area held.
  for (std::size_t i = 0; i < mz * mz; ++i) jacTjac[i] = 0.0;
  for (int i = 0; i < m; ++i) diag[i] = 0.0;

  const int K = m > 10 ? m : 10;

  func(p, hx, m, n, adata);
  int nfev = 1;
  double p_eL2 = residual_l2(e, x, hx, n);
  const double init_p_eL2 = p_eL2;
  int stop = std::isfinite(p_eL2) ? 0 : 7;

  double mu = 0.0, jacTe_inf = 0.0, p_L2 = 0.0, Dp_L2 = DBL_MAX;
  int nu = 20;
  bool updp = true, newjac = false;
  int updjac = 0, njap = 0, nlss = 0;

  int k;
  for (k = 0; k < itmax && stop == 0; ++k) {
    if (p_eL2 <= eps3) {
      stop = 6;
      break;
    }

    // Fresh Jacobian at the start, after a run of rejections, and after K
    // Broyden updates (they drift).
    if ((updp && nu > 16) || updjac == K) {
      if (central)
        jacobian_central(func, p, wrk, wrk2, delta, jac, m, n, adata);
      else
        jacobian_forward(func, p, hx, wrk, delta, jac, m, n, adata);
      nfev += central ? 2 * m : m;
      ++njap;
      nu = 2;
      updjac = 0;
      updp = false;
      newjac = true;
    }

    if (newjac) {
      newjac = false;
      normal_equations(jac, e, jacTjac, jacTe, m, n);
      jacTe_inf = 0.0;
      p_L2 = 0.0;
      bool finite = true;
      for (int i = 0; i < m; ++i) {
        const double g = std::fabs(jacTe[i]);
        if (g > jacTe_inf) jacTe_inf = g;
        diag[i] = jacTjac[i * m + i];
        p_L2 += p[i] * p[i];
        // A NaN fails every comparison, so the norm above would skip it and
        // the run would end as if the gradient were small.
        if (!std::isfinite(g) || !std::isfinite(diag[i])) finite = false;
      }
      if (!finite) {
        stop = 7;
        break;
      }
    }

    if (jacTe_inf <= eps1) {
      Dp_L2 = 0.0;
      stop = 1;
      break;
    }

    if (k == 0) mu = tau * max_diagonal(jacTjac, m);

    for (int i = 0; i < m; ++i) jacTjac[i * m + i] += mu;
    const bool solved = solve_lu(jacTjac, jacTe, Dp, m, lu, ipiv);
    ++nlss;

    if (solved) {
      Dp_L2 = 0.0;
      for (int i = 0; i < m; ++i) {
        pDp[i] = p[i] + Dp[i];
        Dp_L2 += Dp[i] * Dp[i];
      }

      if (Dp_L2 <= eps2_sq * p_L2) {
        stop = 2;
        break;
      }
      if (Dp_L2 >= (p_L2 + eps2) / (kEpsilon * kEpsilon)) {
        stop = 4;
        break;
      }

      func(pDp, wrk, m, n, adata);
      ++nfev;
      const double pDp_eL2 = residual_l2(wrk2, x, wrk, n);
      if (!std::isfinite(pDp_eL2)) {
        stop = 7;
        break;
      }
      const double dF = p_eL2 - pDp_eL2;

      // Broyden: J += ((f(p+Dp) - f(p) - J Dp) / ||Dp||^2) Dp^T.
      if (updp || dF > 0.0) {
        for (int i = 0; i < n; ++i) {
          double *row = jac + static_cast<std::ptrdiff_t>(i) * m;
          double jdp = 0.0;
          for (int l = 0; l < m; ++l) jdp += row[l] * Dp[l];
          const double t = (wrk[i] - hx[i] - jdp) / Dp_L2;
          for (int j = 0; j < m; ++j) row[j] += t * Dp[j];
        }
        ++updjac;
        newjac = true;
      }

      // Reduction predicted by the linear model.
      double dL = 0.0;
      for (int i = 0; i < m; ++i) dL += Dp[i] * (mu * Dp[i] + jacTe[i]);

      if (dL > 0.0 && dF > 0.0) {
        double t = 2.0 * dF / dL - 1.0;
        t = 1.0 - t * t * t;
        mu = mu * (t >= kOneThird ? t : kOneThird);
        nu = 2;
        for (int i = 0; i < m; ++i) p[i] = pDp[i];
        for (int i = 0; i < n; ++i) {
          e[i] = wrk2[i];
          hx[i] = wrk[i];
        }
        p_eL2 = pDp_eL2;
        updp = true;
        continue;
      }
    }

    // Rejected or unsolvable: damp harder, geometrically faster each time.
    mu = mu * nu;
    // Doubling nu overflows int after ~30 straight rejections; shift unsigned
    // so the wrap is well defined.
    const int nu2 = static_cast<int>(static_cast<unsigned>(nu) << 1);
    if (nu2 <= nu) {
      stop = 5;
      break;
    }
    nu = nu2;
    for (int i = 0; i < m; ++i) jacTjac[i * m + i] = diag[i];
  }

  if (k >= itmax) stop = 3;

  for (int i = 0; i < m; ++i) jacTjac[i * m + i] = diag[i];

  if (info != nullptr) {
    info[0] = init_p_eL2;
    info[1] = p_eL2;
    info[2] = jacTe_inf;
    info[3] = Dp_L2;
    info[4] = mu / max_diagonal(jacTjac, m);
    info[5] = k;
    info[6] = stop;
    info[7] = nfev;
    info[8] = njap;
    info[9] = nlss;
  }

  if (covar != nullptr && m > 0) covariance(jacTjac, covar, p_eL2, m, n, lu);

  std::free(block);
  return (stop != 4 && stop != 7) ? k : LM_ERROR;
}
