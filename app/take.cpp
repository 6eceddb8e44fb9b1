// SPDX-License-Identifier: GPL-3.0-or-later
// The main loop's side of a take: drains the inputs' queues into one list,
// adds the screen's notes, and writes the file when the take ends.
#include "app/take.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "core/clock.h"
#include "core/paths.h"
#include "core/settings_values.h"
#include "core/text_file.h"
#include "midi/take_queue.h"
#include "midi/take_writer.h"
#include "platform/dialogs.h"

namespace {

bool running = false;
double start_seconds = 0.0;  // program clock when the take started
std::time_t started_at = 0;  // wall clock, for the file name
std::vector<TakeEvent> events;
size_t over_limit = 0;       // messages past kTakeMostEvents
std::string last_name;

void add(const TakeEvent& e) {
  if (e.seconds < start_seconds) return;  // arrived before the take (or left from the last one)
  if (events.size() >= kTakeMostEvents) {
    over_limit++;
    return;
  }
  events.push_back(e);
}

// Drains the queues; with keep false the messages are thrown away.
void drain(bool keep) {
  static TakeEvent batch[1024];
  for (int slot = 0; slot < kTakeInputs; slot++)
    for (int n; (n = take_queue_drain(slot, batch, 1024)) > 0;)
      if (keep)
        for (int i = 0; i < n; i++) add(batch[i]);
}

// take-YYYYMMDD-HHMMSS.mid of the start, with -2, -3, ... when a file of
// that name is already there (two takes in one second).
std::string free_name(const std::string& folder) {
  char stamp[32];
  std::tm local = {};
  localtime_r(&started_at, &local);
  std::strftime(stamp, sizeof stamp, "take-%Y%m%d-%H%M%S", &local);
  std::string name = std::string(stamp) + ".mid";
  for (int n = 2; access((folder + name).c_str(), F_OK) == 0; n++) name = std::string(stamp) + "-" + std::to_string(n) + ".mid";
  return name;
}

void tell(const std::string& text, bool at_exit) {
  if (at_exit)
    std::fprintf(stderr, "quillon_darvo: %s\n", text.c_str());
  else
    notice(text);
}

// Messages from JACK ports are placed by their frames, so the file holds
// them as many frames apart as they were played: from the first such
// message on, each lies its frames' distance after the one before it (in
// arrival order, so the 32-bit clock may wrap). Where that distance and the
// program clock's disagree by more than a second (the server was started
// again, or at another rate), the program clock's bridges the gap. The
// others keep the program clock. Gives the first frames' rate, or 0 when no
// message has one.
uint32_t place_by_frames(std::vector<TakeEvent>* list) {
  std::vector<TakeEvent*> framed;
  for (TakeEvent& e : *list)
    if (e.rate > 0) framed.push_back(&e);
  if (framed.empty()) return 0;
  std::stable_sort(framed.begin(), framed.end(), [](const TakeEvent* a, const TakeEvent* b) { return a->seconds < b->seconds; });
  double arrived_before = framed[0]->seconds;
  for (size_t i = 1; i < framed.size(); i++) {
    const TakeEvent* before = framed[i - 1];
    TakeEvent* e = framed[i];
    double by_clock = e->seconds - arrived_before;
    double by_frames = (int32_t)(e->frame - before->frame) / (double)e->rate;
    arrived_before = e->seconds;
    bool same_clock = e->rate == before->rate && std::fabs(by_frames - by_clock) < 1.0;
    e->seconds = before->seconds + (same_clock ? by_frames : by_clock);
  }
  return framed[0]->rate;
}

void finish(bool at_exit) {
  take_recording.store(0);
  drain(true);
  running = false;
  size_t dropped = take_dropped.exchange(0) + over_limit;
  uint32_t rate = place_by_frames(&events);
  std::vector<uint8_t> bytes = take_file_bytes(std::move(events), rate > 0 ? rate : kTakeMillisecondTicks);
  events = std::vector<TakeEvent>();
  if (bytes.empty()) return;  // nothing was played: no file

  std::string folder = takes_folder();
  std::string name = make_folders(folder) ? free_name(folder) : "";
  if (name.empty() || !replace_file(folder + name, std::string(bytes.begin(), bytes.end()))) {
    tell("error can't save the take in " + folder + " !", at_exit);
    return;
  }
  last_name = name;
  if (at_exit) std::printf("%s\n", name.c_str());
  if (dropped > 0) tell(name + ": " + std::to_string(dropped) + " messages dropped, too many at once", at_exit);
}

void end_take_at_exit() {
  if (running) finish(true);
}

}  // namespace

bool take_running() { return running; }

void take_start() {
  if (running) return;
  static bool exit_hook = false;
  if (!exit_hook) exit_hook = std::atexit(end_take_at_exit) == 0;
  drain(false);
  take_dropped.store(0);
  events.clear();
  over_limit = 0;
  last_name.clear();
  start_seconds = program_clock();
  started_at = std::time(nullptr);
  running = true;
  take_recording.store(1);
}

void take_end() {
  if (running) finish(false);
}

void take_serve() {
  if (running) drain(true);
}

void take_screen_note(int channel, int key, int velocity) {
  if (!running) return;
  // The key an input would have sent: a take holds messages before
  // transposition. Below 0 only an octave up can be written.
  int data1 = key - transpose.load();
  if (data1 < 0) data1 += 12;
  if (data1 > 127) data1 -= 12;
  uint32_t status = (velocity > 0 ? 0x90 : 0x80) | (channel & 0x0F);
  add({program_clock(), status | (uint32_t)(data1 & 0x7F) << 8 | (uint32_t)(velocity & 0x7F) << 16});
}

std::string take_status_text() { return running ? "[W]rec" : last_name; }
