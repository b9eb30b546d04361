#pragma once

#include <string>

namespace korvalen {

// Fixed-point texts exactly as printf("%.Nf") prints them in the C locale, whatever the process locale:
// a '.' decimal point, no grouping, and rounding of the exact binary value to the nearest digit with ties
// to even. Non-finite values print as printf prints them ("nan", "-nan", "inf", "-inf"); callers whose
// texts must never show those use formatResultNumber or check first. A negative `decimals` means six,
// as a negative printf precision does.
std::string formatFixed(double value, int decimals);

// printf("%+.Nf"): a '+' before every value that does not already begin with '-' ("+0.00", "-0.00" for
// negative zero, "+inf").
std::string formatSignedFixed(double value, int decimals);

// The number format of results in cards, exports and the assistant: a non-finite value prints "0", a
// magnitude of at least 100 prints with no decimals, at least 10 with two, otherwise with four.
std::string formatResultNumber(double value);

}  // namespace korvalen
