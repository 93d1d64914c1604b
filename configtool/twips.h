#pragma once
// Conversion of the form's twips layout to screen pixels.

namespace brenvik {

// Rounds to the nearest integer, ties to the even one.
int RoundHalfEven(double value);

// Twips per pixel for a screen of `dpi` dots per inch: 1440 / dpi rounded
// half to even; at least 1 so that no division by zero can follow.
int TwipsDivisor(double dpi);

// t / TwipsDivisor(dpi), rounded half to even.
int TwipsToPixels(int twips, double dpi);

}  // namespace brenvik
