// Output reverb.
//
// Not built yet: the set-up prepares nothing.
#include "effects/reverb.h"

void setup_reverb() {}

