// The one mapping between parameter slots and free parameters.
//
// Every method fits only the free parameters (hold flag 0).  Free parameter j
// is the j-th free slot in increasing slot order; held slots keep the values
// in the slot array.  TAVRIN, levmar and Ceres all go through these helpers,
// so the order in which a method sees its unknowns is the same everywhere.
#pragma once

#include "tavfit.h"

// Slot of each free parameter, in increasing order, for the first numSlots
// slots with hold flags hold.
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
