// SPDX-License-Identifier: GPL-3.0-or-later
// Where the instrument's files live; every path the program reads or writes
// starts from one of these folders.
//
// Portable: the executable's folder holds sounds/ and is the user's own to
// write (a build's run folder, a copy the user unpacked), so it holds
// everything.
// Installed: read-only data and the plug-ins come from the folders where the
// install rules put them, found from the executable's folder (<prefix>/bin/)
// by the relative paths the build compiles in: <prefix>/share/quillon_darvo/
// and <prefix>/lib/quillon_darvo/ by default (lib/<multiarch>/ in the Debian
// package). A copy whose folder holds sounds/ but is not the user's to write
// (unpacked by root into /opt, or another user's) reads its data and plug-ins
// from that folder and is otherwise installed. The user's files go to the XDG
// folders (their variables when set to an absolute path, else ~/.config,
// ~/.local/share, ~/.cache; the scratch files to $XDG_RUNTIME_DIR when it is
// the user's own with mode 0700, else to a private temporary folder).
//
// Each folder is empty (the current folder) or ends in "/". Until
// choose_layout() runs, every folder is the current folder (tests rely on
// that). The layout is chosen once at start-up on the main thread, before any
// other thread starts; every thread may read it afterwards.
#pragma once
#include <string>

// Read-only data: sounds/, bmp/ (pictures, factory presets), readme.txt.
std::string data_folder();
// The output plug-ins.
std::string plugin_folder();
// The settings file and its backup (the session's folder in a session).
std::string config_folder();
// The user's own files: save/, save/user/, sounds/ (sets the user adds),
// and outside a session save/takes/ and recording.wav.
std::string user_data_folder();
// The takes: save/takes/ of the user's folder, or takes/ of the session's.
std::string takes_folder();
// The file device's recording.wav: the user's folder, or the session's.
std::string recording_folder();
// Decoded samples kept between runs.
std::string cache_folder();
// Short-lived scratch files (the MP3 loader's). Installed, the folder is made
// at the first call: quillon_darvo/ in the runtime folder, or a private
// folder quillon_darvo.<pid>.XXXXXX in $TMPDIR or /tmp, which is removed when
// the process exits (remove_private_scratch_folder, run by exit()).
std::string scratch_folder();

// The sample set folders: the user's own (empty in the portable layout,
// where the program's folder is the user's) and the shipped ones.
std::string user_sounds_folder();
std::string shipped_sounds_folder();

// A session manager's folder (ending in "/"; "" leaves the session) for
// the state that belongs to one session: the settings file and its backup,
// the takes and the recording. Presets, feature files and sample sets stay
// in the user's folders, shared by all sessions. Kept when the layout is
// chosen, before or after.
void use_session_folder(const std::string& folder);
std::string session_folder();

// Chooses the layout for an executable in exe_folder (ending in "/").
// Returns an empty text, or the error of an installed program whose data
// folder is missing (the layout is then installed all the same).
std::string choose_layout(const std::string& exe_folder);
// Portable layout in `folder` ("" for the current folder).
void use_portable_layout(const std::string& folder);
// True when the user's files go to the XDG folders rather than the
// program's own.
bool installed_layout();

// Removes the private scratch folder of scratch_folder(), if this process
// made one, with what is left in it.
void remove_private_scratch_folder();
// Removes the private scratch folders that processes of this user which no
// longer run (a crash) left in the temporary folder. At start.
void remove_stale_scratch_folders();

// Makes folder and every missing parent. True when it exists afterwards.
bool make_folders(const std::string& folder);
// True when folder exists and files can be made in it.
bool folder_writable(const std::string& folder);
