// SPDX-License-Identifier: GPL-3.0-or-later
// The settings, holding their defaults from program start.
#include "core/settings_values.h"

// Reverb line defaults: kind 3 and the key reverb share theirs.
constexpr ReverbParams kReverb3Default = {0.55f, 0.34f, 225.0f, 300.0f};
constexpr ReverbParams kReverb2Default = {0.45f, 0.3f, 225.0f, 300.0f};

std::atomic<int> piano_sound{0};
int window_x = 400;
int window_y = 300;
int velo_mode = 2;
std::atomic<int> keyvol_on{0};
std::atomic<float> keyvol_table[kKeyvolRows][kKeyvolKeys];
std::atomic<double> note_off_delay{0.08};
std::atomic<int> autovol_mode{0};
std::atomic<int> reverb_mode{0};
ReverbParams reverb3_params = kReverb3Default;
ReverbParams reverb2_params = kReverb2Default;
std::atomic<int> equalizer_on{0};
ToneBands eq_bands;
int keytone_mode = 0;
ToneBands keytone_bands;
int keyrev_on = 0;
ReverbParams keyrev_params = kReverb3Default;
std::atomic<float> master_level{1.0f};
std::atomic<int> full_view{1};
int midi_in_port = 1;
int buffer_size = 1024;
std::atomic<int> type_offset{6};
std::atomic<int> thru_port{0};
std::atomic<int> transpose{0};
int midi_in2_port = 0;
int midi_in3_port = 0;
std::atomic<int> autovolmidi{0};
std::string preset_name;
int preset_bank = 0;
std::string midi_in_port_name[kMidiInputs];
std::string thru_port_name;
int resample_mode = 0;
std::atomic<int> velocity_layers{1};
std::atomic<int> pedal_mode{0};

int preset_factory_mark = 0;
int preset_user_mark = 0;

// 127 is the unchanged level of a key.
constexpr float kKeyvolDefault = 127.0f;

static void set_default_keyvol()
{
  for (auto& row : keyvol_table)
    for (auto& entry : row) entry.store(kKeyvolDefault, std::memory_order_relaxed);
}

// The table has no constant initialiser; fill it before main so the program
// image holds the defaults like every other setting.
static const bool keyvol_defaults_ready = (set_default_keyvol(), true);

ToneBands& ToneBands::operator=(const ToneBands& other)
{
  lowf.store(other.lowf.load());
  highf.store(other.highf.load());
  lowg.store(other.lowg.load());
  midg.store(other.midg.load());
  highg.store(other.highg.load());
  order.store(other.order.load());
  return *this;
}

void set_default_sound_settings()
{
  (void)keyvol_defaults_ready;
  piano_sound = 0;
  window_x = 400;
  window_y = 300;
  velo_mode = 2;
  keyvol_on = 0;
  set_default_keyvol();
  note_off_delay = 0.08;
  autovol_mode = 0;
  reverb_mode = 0;
  reverb3_params = kReverb3Default;
  reverb2_params = kReverb2Default;
  equalizer_on = 0;
  eq_bands = ToneBands();
  keytone_mode = 0;
  keytone_bands = ToneBands();
  keyrev_on = 0;
  keyrev_params = kReverb3Default;
  master_level = 1.0f;
  type_offset = 6;
  autovolmidi = 0;
  preset_name.clear();
  preset_bank = 0;
  resample_mode = 0;
  velocity_layers = 1;
}

void set_default_settings()
{
  set_default_sound_settings();
  full_view = 1;
  midi_in_port = 1;
  buffer_size = 1024;
  thru_port = 0;
  transpose = 0;
  midi_in2_port = 0;
  midi_in3_port = 0;
  for (auto& name : midi_in_port_name) name.clear();
  thru_port_name.clear();
  pedal_mode = 0;
}
