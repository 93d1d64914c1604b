#include "configtool/twips.h"

#include <cmath>

namespace brenvik {

int RoundHalfEven(double value) {
  double lower = std::floor(value);
  double fraction = value - lower;
  if (fraction > 0.5) return static_cast<int>(lower) + 1;
  if (fraction < 0.5) return static_cast<int>(lower);
  return std::fmod(lower, 2.0) == 0 ? static_cast<int>(lower) : static_cast<int>(lower) + 1;
}

int TwipsDivisor(double dpi) {
  if (!(dpi > 0)) return 15;  // unknown screen: the common 96 DPI
  int d = RoundHalfEven(1440.0 / dpi);
  return d < 1 ? 1 : d;
}

int TwipsToPixels(int twips, double dpi) {
  return RoundHalfEven(static_cast<double>(twips) / TwipsDivisor(dpi));
}

}  // namespace brenvik
