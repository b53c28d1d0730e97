// A dual number: a value and its derivatives with respect to up to N
// parameters, carried exactly through the model templates of models.h.  The
// check of an answer uses it for the exact Jacobian, so that no Ceres
// library need be loaded.  Only what the models use is defined; the maths
// functions are found by argument-dependent lookup, as models.h calls them.
#pragma once

#include <cmath>

namespace dual {

template <int N>
struct Dual {
  double a = 0.0;    // the value
  double v[N] = {};  // its derivatives

  Dual() = default;
  Dual(double value) : a(value) {}  // a constant: no derivative NOLINT
  // The k-th variable at value.
  static Dual variable(double value, int k) {
    Dual d(value);
    d.v[k] = 1.0;
    return d;
  }
};

// A dual from its value and the chain rule's factor on d's derivatives.
template <int N>
inline Dual<N> chain(double value, double factor, const Dual<N> &d) {
  Dual<N> r(value);
  for (int k = 0; k < N; ++k) r.v[k] = factor * d.v[k];
  return r;
}

template <int N>
inline Dual<N> operator-(const Dual<N> &x) {
  return chain(-x.a, -1.0, x);
}

template <int N>
inline Dual<N> operator+(const Dual<N> &x, const Dual<N> &y) {
  Dual<N> r(x.a + y.a);
  for (int k = 0; k < N; ++k) r.v[k] = x.v[k] + y.v[k];
  return r;
}

template <int N>
inline Dual<N> operator-(const Dual<N> &x, const Dual<N> &y) {
  Dual<N> r(x.a - y.a);
  for (int k = 0; k < N; ++k) r.v[k] = x.v[k] - y.v[k];
  return r;
}

template <int N>
inline Dual<N> operator*(const Dual<N> &x, const Dual<N> &y) {
  Dual<N> r(x.a * y.a);
  for (int k = 0; k < N; ++k) r.v[k] = x.v[k] * y.a + x.a * y.v[k];
  return r;
}

template <int N>
inline Dual<N> operator/(const Dual<N> &x, const Dual<N> &y) {
  const double q = x.a / y.a;
  Dual<N> r(q);
  for (int k = 0; k < N; ++k) r.v[k] = (x.v[k] - q * y.v[k]) / y.a;
  return r;
}

template <int N>
inline Dual<N> operator+(const Dual<N> &x, double c) {
  Dual<N> r = x;
  r.a += c;
  return r;
}
template <int N>
inline Dual<N> operator+(double c, const Dual<N> &x) {
  return x + c;
}
template <int N>
inline Dual<N> operator-(const Dual<N> &x, double c) {
  Dual<N> r = x;
  r.a -= c;
  return r;
}
template <int N>
inline Dual<N> operator-(double c, const Dual<N> &x) {
  return chain(c - x.a, -1.0, x);
}
template <int N>
inline Dual<N> operator*(const Dual<N> &x, double c) {
  return chain(x.a * c, c, x);
}
template <int N>
inline Dual<N> operator*(double c, const Dual<N> &x) {
  return chain(c * x.a, c, x);
}
template <int N>
inline Dual<N> operator/(const Dual<N> &x, double c) {
  return chain(x.a / c, 1.0 / c, x);
}
template <int N>
inline Dual<N> operator/(double c, const Dual<N> &x) {
  const double q = c / x.a;
  return chain(q, -q / x.a, x);
}

template <int N>
inline Dual<N> exp(const Dual<N> &x) {
  const double e = std::exp(x.a);
  return chain(e, e, x);
}
template <int N>
inline Dual<N> log(const Dual<N> &x) {
  return chain(std::log(x.a), 1.0 / x.a, x);
}
template <int N>
inline Dual<N> sqrt(const Dual<N> &x) {
  const double s = std::sqrt(x.a);
  return chain(s, 0.5 / s, x);
}
template <int N>
inline Dual<N> sin(const Dual<N> &x) {
  return chain(std::sin(x.a), std::cos(x.a), x);
}
template <int N>
inline Dual<N> cos(const Dual<N> &x) {
  return chain(std::cos(x.a), -std::sin(x.a), x);
}
template <int N>
inline Dual<N> acos(const Dual<N> &x) {
  return chain(std::acos(x.a), -1.0 / std::sqrt(1.0 - x.a * x.a), x);
}
template <int N>
inline Dual<N> abs(const Dual<N> &x) {
  return x.a < 0 ? -x : x;
}
template <int N>
inline Dual<N> pow(const Dual<N> &x, double y) {
  const double p = std::pow(x.a, y);
  return chain(p, y * std::pow(x.a, y - 1.0), x);
}
template <int N>
inline Dual<N> pow(double x, const Dual<N> &y) {
  const double p = std::pow(x, y.a);
  return chain(p, p * std::log(x), y);
}

template <int N>
inline Dual<N> log10(const Dual<N> &x) {
  return chain(std::log10(x.a), 1.0 / (x.a * 2.302585092994046), x);
}
template <int N>
inline Dual<N> tan(const Dual<N> &x) {
  const double t = std::tan(x.a);
  return chain(t, 1.0 + t * t, x);
}
template <int N>
inline Dual<N> asin(const Dual<N> &x) {
  return chain(std::asin(x.a), 1.0 / std::sqrt(1.0 - x.a * x.a), x);
}
template <int N>
inline Dual<N> atan(const Dual<N> &x) {
  return chain(std::atan(x.a), 1.0 / (1.0 + x.a * x.a), x);
}
template <int N>
inline Dual<N> sinh(const Dual<N> &x) {
  return chain(std::sinh(x.a), std::cosh(x.a), x);
}
template <int N>
inline Dual<N> cosh(const Dual<N> &x) {
  return chain(std::cosh(x.a), std::sinh(x.a), x);
}
template <int N>
inline Dual<N> tanh(const Dual<N> &x) {
  const double t = std::tanh(x.a);
  return chain(t, 1.0 - t * t, x);
}
template <int N>
inline Dual<N> erf(const Dual<N> &x) {
  // d/dx erf(x) = 2 / sqrt(pi) exp(-x^2)
  return chain(std::erf(x.a), 1.1283791670955126 * std::exp(-x.a * x.a), x);
}
// x^y with both variable: the log term only where y carries a derivative, so
// that a negative base with a constant exponent keeps finite derivatives.
template <int N>
inline Dual<N> pow(const Dual<N> &x, const Dual<N> &y) {
  const double p = std::pow(x.a, y.a);
  const double dx = y.a * std::pow(x.a, y.a - 1.0);
  Dual<N> r(p);
  for (int k = 0; k < N; ++k) {
    r.v[k] = x.v[k] != 0.0 ? dx * x.v[k] : 0.0;
    if (y.v[k] != 0.0) r.v[k] += p * std::log(x.a) * y.v[k];
  }
  return r;
}

}  // namespace dual
