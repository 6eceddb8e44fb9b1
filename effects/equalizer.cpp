// Three-band output equalizer.
//
// Not built yet: the coefficients are not computed, so the equalizer stage
// of the master chain has nothing to apply.
#include "effects/equalizer.h"

void compute_equalizer_coefficients() {}

