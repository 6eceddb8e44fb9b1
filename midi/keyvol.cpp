// Key volume map.
//
// Not built yet: there is no undo history and the editor returns at once.
// The map itself (keyvol_table, keyvol_on) is a setting and is applied by
// note-on.
#include "midi/keyvol.h"

void reset_keyvol_undo() {}

void keyvol_editor() {}
