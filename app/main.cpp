// Entry point of the instrument: works from its own folder, needs a display,
// and ends with the main loop's status (0 normal end, 1 fatal start-up error).
#include <cstdio>

#include "app/main_loop.h"
#include "platform/process.h"
#include "platform/window.h"
#include "platform/window_sdl.h"

int main() {
  process_enter_exe_folder();
  win_install_sdl_display();
  if (!has_display()) {
    std::fputs("quillon_darvo: no display to open the window on (is DISPLAY set?)\n", stderr);
    return 1;
  }
  int status = run_main_loop();
  win_close();
  return status;
}
