// Where the instrument's files live; every path the program reads or writes
// starts from one of these folders. Portable: the program's folder (the
// current folder once the program has entered it) holds everything.
// Installed: read-only data under the prefix's share/quillon_darvo/, the
// user's files in the XDG folders.
//
// Each folder is empty (the current folder) or ends in "/". The layout is
// chosen once at start-up on the main thread, before any other thread
// starts; every thread may read it afterwards.
#pragma once
#include <string>

// Read-only data: sounds/, bmp/ (pictures, factory presets), readme.txt.
std::string data_folder();
// The settings file and its backup.
std::string config_folder();
// The user's own files: save/, save/user/, save/takes/, recording.wav.
std::string user_data_folder();
// Decoded samples kept between runs.
std::string cache_folder();
// Short-lived scratch files (the MP3 loader's).
std::string scratch_folder();

// Makes folder and every missing parent. True when it exists afterwards.
bool make_folders(const std::string& folder);
