// Master effect chain state and the routing switch. The chain itself is run
// by master_callback on the mixer thread.
#include "effects/master_chain.h"

#include "core/settings_values.h"
#include "core/shared_state.h"

std::atomic<int> plug_bits{16};
std::atomic<int> plug_rate{44100};
std::atomic<int> plug_channels{2};
std::atomic<float> block_factor{1.0f};

std::atomic<int> peak_hold{1};
std::atomic<int> frames_since_analysis{0};
std::atomic<float> env_level{0.8f};
std::atomic<float> hold_level{0.8f};
std::atomic<float> auto_gain{1.0f};

void restart_level_analysis(double now) {
  peak_hold.store(1);
  analysis_ref_time.store(now + 1.2);
  analysis_now_time.store(now);
  frames_since_analysis.store(99999);
}

void restart_autovol_state(double now) {
  auto_gain.store(1.0f);
  env_level.store(0.8f);
  hold_level.store(0.8f);
  restart_level_analysis(now);
}

void update_effect_routing() {
  if (autovol_mode >= 1 || reverb_mode >= 1 || equalizer_on >= 1) {
    FBS_ENABLE_MASTERCALLBACK();
  } else {
    FBS_DISABLE_MASTERCALLBACK();
  }
  FBS_SET_MASTERVOLUME(autovol_mode >= 1 ? 1.0f : 0.95f);
}

// Not built yet: automatic volume, reverb, equalizer and the master level are
// not applied; the block goes to the device as mixed.
extern "C" void FBS_CALL master_callback(int16_t*, int32_t, int32_t) {}
