#pragma once

#include "LogFile.h"

class TKelvane;

// The 60 quantities as logged, from the meter link's register image in the
// meter's word order; the "Log" button's variant replaces the phase powers
// 19 to 27 by the integer registers 19 to 25, 32 and 33, scaled by the PT
// and CT ratios. A quantity whose registers the latest read did not bring (a
// failed read, a reset image) is NaN, which the log shows as an empty field.
// Only the image is read: nothing is sent to the meter.
TLogValues LogValues(const TKelvane& meter, bool scaledPhasePowers);
