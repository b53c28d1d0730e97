// A typed formula as a flat postfix program: what crosses the plain C
// boundary of the Ceres module (ceres_fit.h) and what the evaluator of
// formula.h runs.  Plain data only.
#pragma once

extern "C" {

// What an instruction does.  Leaves push a value; the others replace the
// values on top of the stack with their result.
enum TavfitFormulaCode {
  kFormulaLeaf = 0,  // push the operand (see TavfitFormulaOp::operand)
  kFormulaAdd,       // binary: a (below) op b (on top, or the operand)
  kFormulaSub,
  kFormulaMul,
  kFormulaDiv,
  kFormulaPow,       // a ^ b; with a constant operand b, pow(a, double)
  kFormulaSubFrom,   // b - a: the operand on the left
  kFormulaDivInto,   // b / a
  kFormulaConstPow,  // b ^ a: a base free of parameters (the operand), pow(double, a)
  kFormulaNeg,
  kFormulaExp,
  kFormulaLog,
  kFormulaLog10,
  kFormulaSqrt,
  kFormulaAbs,
  kFormulaSin,
  kFormulaCos,
  kFormulaTan,
  kFormulaAsin,
  kFormulaAcos,
  kFormulaAtan,
  kFormulaSinh,
  kFormulaCosh,
  kFormulaTanh,
  kFormulaErf,
  kFormulaMin,       // binary, from the stack
  kFormulaMax,
  kFormulaLess,      // comparisons give 1 or 0, from the stack
  kFormulaLessEqual,
  kFormulaGreater,
  kFormulaGreaterEqual,
  kFormulaEqual,
  kFormulaNotEqual,
  kFormulaIf,        // cond, a, b: a where cond is not 0, else b
  // The next operand instructions compute a part free of parameters, whose
  // value the following instruction takes as its operand (kOperandPending):
  // a number type with derivatives computes it in doubles, as a built-in
  // model computes the parts that depend on x alone.  Evaluated in doubles,
  // the marker does nothing and the part's value is on the stack.
  kFormulaDouble,
  kFormulaCodeCount
};

// Where an operand comes from: the stack, or a leaf read in place.
enum TavfitFormulaOperand {
  kOperandStack = 0,
  kOperandConstant = 1,  // TavfitFormulaOp::value
  kOperandX = 2,
  kOperandX2 = 3,
  kOperandPending = 4,   // the part that kFormulaDouble computed
  kOperandParameter = 5  // parameter k is kOperandParameter + k
};

struct TavfitFormulaOp {
  int code;     // a TavfitFormulaCode
  int operand;  // leaves, and the right operand of + - * / ^: a TavfitFormulaOperand
  double value; // the constant of kOperandConstant and of kFormulaConstPow
};

}  // extern "C"
