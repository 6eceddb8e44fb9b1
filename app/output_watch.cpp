// SPDX-License-Identifier: GPL-3.0-or-later
// The audio output watched while the program runs, and its retries.
#include "app/output_watch.h"

#include "app/instrument_setup.h"
#include "app/loop_request.h"
#include "app/text_area.h"
#include "core/clock.h"
#include "core/jack_clients.h"
#include "core/shared_state.h"
#include "effects/autovol.h"
#include "effects/master_chain.h"
#include "engine/fbs.h"
#include "midi/voices.h"
#include "platform/window.h"

namespace {

// How the output was started, for its retries.
int retry_attempts = kOutputAttempts;
int retry_frames = 1024;

bool lost = false;
bool on_jack = false;   // the output in use (or lost) plays through JACK
double next_try = 0.0;  // program clock of the next attempt while lost
int shown_frames = 0;   // the frames of the "plugout=" line shown last
constexpr double kRetrySeconds = 2.0;

// The output runs (again): what the watch keeps of it.
void output_running() {
  lost = false;
  shown_frames = FBS_GET_PLUGFRAMES();
  const char* name = FBS_GET_PLUGNAME();
  on_jack = name && std::string(name) == "JACK output";
}

}  // namespace

int start_output(int attempts, int frames) {
  struct Attempt {
    int buffers, frames, device;
  };
  const Attempt kAttempts[kOutputAttempts] = {{12, frames, 0}, {3, 1024, 0}, {3, 2048, -1}};
  for (int i = 0; i < attempts && i < kOutputAttempts; i++)
    if (FBS_INIT(44100, 2, kAttempts[i].buffers, kAttempts[i].frames, kAttempts[i].device)) return i + 1;
  return 0;
}

std::string plugout_line() {
  const char* name = FBS_GET_PLUGNAME();
  const char* device = FBS_GET_PLUGDEVICE();
  return std::string("plugout=") + (name ? name : "") + " /" + (device ? device : "") + " / " +
         win_format_int(FBS_GET_PLUGRATE()) + " " + win_format_int(FBS_GET_PLUGBUFFERS()) + "*" +
         win_format_int(FBS_GET_PLUGFRAMES());
}

void output_started(int attempt, int frames) {
  retry_attempts = attempt;
  retry_frames = frames;
  output_running();
}

void watch_output(double now) {
  if (!lost) {
    if (!FBS_GET_PLUGLOST()) {
      if (FBS_GET_PLUGFRAMES() == shown_frames) return;
      shown_frames = FBS_GET_PLUGFRAMES();
      read_block_factor();
      show_status_line(2, plugout_line());
      return;
    }
    lost = true;
    // No note may wait for a device that is gone: all end now, pedal or not.
    voice_pedal_release();
    silence_all_voices();
    show_status_line(2, output_status_line());
    next_try = now;
  }
  if (before_deadline(now, next_try)) return;
  // A JACK server that went away: the first attempt once the MIDI ports of
  // it have closed too, since no client may open before.
  if (!jack_clients_may_open(&qd_jack_clients)) return;
  next_try = now + kRetrySeconds;
  if (!start_output(retry_attempts, retry_frames)) return;
  output_running();
  read_block_factor();
  restart_level_analysis(now);
  show_status_line(2, plugout_line());
  // Waves are made for one rate: a server that came back at another needs
  // the set loaded again, and the effects set up for the new rate.
  if (FBS_GET_PLUGRATE() != plug_rate.load()) {
    loaded_sound = -1;
    request_reload();
  }
}

bool output_lost() { return lost; }

bool output_waits_for_jack() { return lost && on_jack; }

std::string output_status_line() { return lost ? "audio output lost, retrying every 2 s" : ""; }
