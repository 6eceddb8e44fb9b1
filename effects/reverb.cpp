// Output reverb.
//
// Not built yet: the set-up prepares nothing and the editors return at once.
#include "effects/reverb.h"

void setup_reverb() {}

