// The catalogue of the built-in models: keywords, labels, parameter labels,
// formulas, and the meanings and units of X, Y, X2 and every parameter.  The
// reports, the help words, the manual page, the README and the library's
// Model values all read it here, so they cannot say different things.
#pragma once

#include <string>

#include "problem.h"

// What a model means, for the help words (-list, -describe), the manual page
// and the README: every text lives once, in the catalogue row of the model.
struct CatalogueVariable {
  const char *meaning;  // nullptr: the model does not use this variable
  const char *unit;     // a fixed unit, or "same unit as X" when it is the user's choice
};
struct CatalogueParm {
  const char *label;    // report label: the name padded with '.' to nine characters, then ':'
  const char *meaning;  // includes the sign convention where the sign matters
  const char *unit;
  const char *start;    // how to choose a start value
};
struct CatalogueEntry {
  const char *keyword;
  const char *label;    // fitLabel
  const char *note;     // fitNote: the report's display text, not always the formula
  int parmNum;
  CatalogueParm parm[kMaxParms];
  const char *formula;  // what the program computes; lines separated by '\n'
  CatalogueVariable x, y, x2;
  const char *held;     // which parameters are usually held, and why
  const char *start;    // a typical -parms word, used in the example command line
};

// The catalogue row of fit-function id 0..kNumFitFuncs-1.
const CatalogueEntry &catalogue_entry(int id);

// The catalogue row of fit-function id 0..kFitFuncCount-1.
const CatalogueEntry &catalogue_entry(int id);

// Id of the keyword equal to word (exact, case-sensitive), or -1.
int catalogue_id(const char *word);

// The parameter name of a report label: "Vo(1)....:" gives "Vo(1)".
std::string parm_name(const char *label);
