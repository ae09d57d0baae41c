#pragma once
// Rounding to single precision that no optimisation can remove.
//
// The arithmetic is done in double and rounded to float where a stored value
// is a float. A plain static_cast<float> does not guarantee that rounding in
// the compiled code: GCC 12's SLP vectoriser, packing two neighbouring double
// computations into one register, has dropped the float round trip between
// them and carried the unrounded double on (an optimiser bug; -ffp-contract=off
// does not stop it). The result then depends on the optimisation level.
//
// The guard is an empty asm statement that takes the rounded value in a
// register and gives it back ("+x": an SSE register; "+w": a SIMD/FP register
// on AArch64). The compiler cannot see through it, so it must produce the
// rounded float before it (cvtsd2ss / cvtpd2ps) and can only use what comes
// out after it: neither the conversion nor the value it came from can be
// folded away. It costs no instruction and keeps the value in its register.
// Where no such register constraint is known, a volatile store and load does
// the same through memory, at the cost of one round trip.
//
// Every narrowing that belongs to the arithmetic goes through here:
// `exactFloat(v)` for one value, `heldExactly(v)` for a value already rounded,
// such as a vector of floats.

template <class T>
inline T heldExactly(T value) {
#if defined(__GNUC__) && defined(__x86_64__)
  asm("" : "+x"(value));
#elif defined(__GNUC__) && defined(__aarch64__)
  asm("" : "+w"(value));
#else
  volatile T held = value;
  value = held;
#endif
  return value;
}

inline float exactFloat(double value) { return heldExactly(static_cast<float>(value)); }
