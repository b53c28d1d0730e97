// A global fit as its engines see it (global.cpp builds it): the curves as
// problems of their own, the map of their parameters to the unknowns, and
// the engines of the three methods (global_methods.cpp).
#pragma once

#include <string>
#include <vector>

#include "block_normal.h"
#include "methods.h"

namespace tavfit {
namespace global {

// The problem as the engines see it.
struct Global {
  Layout L;
  FitFuncId id = kLine;
  const Formula *formula = nullptr;  // a typed formula, then the model (id kFormulaId)
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

// Why the blocks cannot be solved: which = a curve, or C for the shared.
std::string singular_text(const Global &g, int which);

// The slot of unknown i.
int slot_of(const Layout &L, size_t i);

// The engines: each fits the unknowns theta (the variables of their bounds
// where bounded) in place, from the start values there.
void tavrin_global(const Global &g, double *theta, MethodOutput &out);
void levmar_global(const Global &g, double *theta, MethodOutput &out);
void ceres_global(const Global &g, double *theta, MethodOutput &out);

}  // namespace global
}  // namespace tavfit
