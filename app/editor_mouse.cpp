// The editors' mouse read.
#include "app/editor_mouse.h"

#include "app/mouse_keyboard.h"
#include "app/screen.h"
#include "platform/window.h"

bool editor_mouse_read(int* x, int* y, int* buttons) {
  bool read = win_mouse(x, y, nullptr, buttons);
  if (full_view_shown) mouse_keyboard(*x, *y, read ? *buttons : 0);
  if (*x > kTextAreaWidth || *y > kTextAreaHeight) *buttons = 0;
  return read;
}
