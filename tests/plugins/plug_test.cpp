// SPDX-License-Identifier: GPL-3.0-or-later
// Test output plug-in: records every call into the test's log, answers with
// results the test sets, and fills blocks only when the test asks (on the
// asking thread). Copied into a temporary plug path under the built-in
// names, each copy is a separate instance that tags its log lines with its
// own file name. Variants leave out an entry (see the files that include
// this one).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/plug_record.h"

// Largest block the test plug-in serves: 4096 stereo frames.
constexpr int kMaxBlockBytes = 4096 * 4;

static FbsPlugRecord* record = nullptr;
alignas(16) static uint8_t block[kMaxBlockBytes];
static int32_t isany_result = 1, init_result = 1, start_result = 1, stop_result = 1;
static int32_t lost_result = 0;
static int32_t grant_frames = 0, grant_buffers = 0;  // 0: keep what was asked
static void (*logger)(const char*) = nullptr;
static char own_name[64] = "";

static const char* name_of_file(void) {
  if (!own_name[0]) {
    Dl_info info;
    const char* path = "plug";
    if (dladdr(reinterpret_cast<void*>(&name_of_file), &info) && info.dli_fname)
      path = info.dli_fname;
    const char* slash = std::strrchr(path, '/');
    std::snprintf(own_name, sizeof(own_name), "%s", slash ? slash + 1 : path);
  }
  return own_name;
}

static void log_call(const char* what, int value = 0, bool with_value = false) {
  if (!logger) return;
  char line[160];
  if (with_value) std::snprintf(line, sizeof(line), "%s %s %d", name_of_file(), what, value);
  else std::snprintf(line, sizeof(line), "%s %s", name_of_file(), what);
  logger(line);
}

extern "C" {

#ifndef PLUG_TEST_NO_ISANY
FBS_EXPORT int32_t FBS_CALL PLUG_ISANY(FbsPlugRecord* rec) {
  log_call("isany", rec && rec->module && rec->plug_isany ? 1 : 0, true);
  return isany_result;
}
#endif

FBS_EXPORT int32_t FBS_CALL PLUG_INIT(FbsPlugRecord* rec) {
  log_call("init", rec->device_index, true);
  if (init_result != 1) return init_result;
  if (grant_frames > 0) rec->frames = grant_frames;
  if (grant_buffers > 0) rec->buffers = grant_buffers;
  rec->framesize = 2 * rec->channels;
  rec->buffersize = rec->frames * rec->framesize;
  if (rec->buffersize > kMaxBlockBytes || rec->buffersize <= 0) return 0;
  rec->is_signed = 1;
  std::snprintf(rec->name, sizeof(rec->name), "test %.58s", name_of_file());
  std::snprintf(rec->device, sizeof(rec->device), "test device");
  record = rec;
  return 1;
}

FBS_EXPORT int32_t FBS_CALL PLUG_START(void) {
  log_call("start");
  return start_result;
}

FBS_EXPORT int32_t FBS_CALL PLUG_STOP(void) {
  log_call("stop");
  return stop_result;
}

#ifndef PLUG_TEST_NO_EXIT
FBS_EXPORT int32_t FBS_CALL PLUG_EXIT(void) {
  log_call("exit");
  record = nullptr;
  return 1;
}
#endif

FBS_EXPORT const char* FBS_CALL PLUG_ERROR(void) { return "test plug-in error"; }

FBS_EXPORT int32_t FBS_CALL PLUG_LOST(void) { return lost_result; }

// ---- Controls for the tests ----

// Sets a result or a grant: "isany", "init", "start", "stop", "lost" (the
// value the entry returns), "frames", "buffers" (the value PLUG_INIT leaves, 0 keeps).
FBS_EXPORT void plug_test_set(const char* key, int32_t value) {
  if (!std::strcmp(key, "isany")) isany_result = value;
  else if (!std::strcmp(key, "init")) init_result = value;
  else if (!std::strcmp(key, "start")) start_result = value;
  else if (!std::strcmp(key, "stop")) stop_result = value;
  else if (!std::strcmp(key, "lost")) lost_result = value;
  else if (!std::strcmp(key, "frames")) grant_frames = value;
  else if (!std::strcmp(key, "buffers")) grant_buffers = value;
}

FBS_EXPORT void plug_test_set_logger(void (*log)(const char*)) { logger = log; }

// Calls the engine's fill `blocks` times on the calling thread, as a device
// thread would. Returns how many blocks were filled (0 when not initialised).
FBS_EXPORT int32_t plug_test_fill(int32_t blocks) {
  FbsPlugRecord* rec = record;
  if (!rec || !rec->fill) return 0;
  for (int32_t i = 0; i < blocks; i++) {
    rec->buffer = block;
    rec->fill(rec);
  }
  return blocks;
}

// The last filled block and the record in use (null before PLUG_INIT).
FBS_EXPORT const int16_t* plug_test_block(void) { return reinterpret_cast<int16_t*>(block); }
FBS_EXPORT FbsPlugRecord* plug_test_record(void) { return record; }

}  // extern "C"
