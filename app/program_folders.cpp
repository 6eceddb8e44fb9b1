// SPDX-License-Identifier: GPL-3.0-or-later
// The program's folders at start-up.
#include "app/program_folders.h"

#include <cstdlib>

#include "core/paths.h"
#include "engine/fbs.h"
#include "platform/dialogs.h"
#include "platform/process.h"

std::string set_up_program_folders() {
  std::string error = choose_layout(process_exe_folder());
  if (!error.empty()) return error;
  // The engine looks for its plug-ins in the executable's folder unless told.
  FBS_SET_PLUGPATH(plugin_folder().c_str());
  // The scratch folders of crashed runs go before ours is made. One that
  // cannot be made shows as a sample that cannot load.
  if (installed_layout()) remove_stale_scratch_folders();
  fbs_set_scratch_folder(scratch_folder().c_str());
  // Decoded samples, shared by both programs; a cache folder that cannot be
  // made or written only means decoding every time, without a notice.
  make_folders(cache_folder());
  fbs_set_sample_cache(cache_folder().c_str());
  // Read by the file device when the engine starts it; no other thread runs yet.
  setenv("QD_RECORDING_FOLDER", recording_folder().c_str(), 1);
  return "";
}

void make_user_folders() {
  for (const std::string& folder : {config_folder(), user_data_folder() + "save/user/", scratch_folder()}) {
    if (!make_folders(folder) || !folder_writable(folder)) notice("cannot write to " + folder, "notice");
  }
}
