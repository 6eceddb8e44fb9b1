// SPDX-License-Identifier: GPL-3.0-or-later
// Measures the touch of a set with velocity layers: for keys 36, 60 and 84
// at every velocity 1..127, played through the instrument's offline driver
// with the default settings, the RMS of the first 300 ms (layers on and
// off) and the spectral centroid of the first 100 ms; then the beating of a
// held chord in the middle of the zone against the loud layer alone, and
// the load time of the set with and without its layers. Prints a table and
// the checks of each key, and exits 1 when one fails.
//
// usage: velocity_touch SOUNDS_FOLDER [SET] [--table]
//        velocity_touch --settings FILE 0|1   (writes the default settings
//        with velocity layers off or on, for quillon_render --settings)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "app/instrument_setup.h"
#include "app/settings.h"
#include "app/velocity_layers.h"
#include "core/settings_values.h"
#include "engine/fbs.h"
#include "tests/support/touch_measure.h"

namespace {

// RMS of 16-bit rounding noise (1/12 of a step squared), dBFS.
constexpr double kNoiseFloorDb = -101.1;

struct Curve {
  double rms_on[128], rms_off[128], centroid[128], centroid_off[128];
};

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Starts the instrument on `set` with layers on or off; the seconds it took.
double start(const SoundFolders& folders, int set, int layers) {
  set_default_settings();
  piano_sound = set;
  velocity_layers = layers;
  auto t = std::chrono::steady_clock::now();
  std::string error = offline_start(folders);
  if (!error.empty()) {
    std::fprintf(stderr, "velocity_touch: %s\n", error.c_str());
    std::exit(1);
  }
  return seconds_since(t);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: velocity_touch SOUNDS_FOLDER [SET] [--table]\n");
    return 2;
  }
  if (std::strcmp(argv[1], "--settings") == 0 && argc == 4) {
    // The default settings with velocity_layers as given, for quillon_render.
    set_default_settings();
    velocity_layers = std::atoi(argv[3]);
    return write_settings(argv[2]) ? 0 : 1;
  }
  std::string folder = argv[1];
  if (folder.back() != '/') folder += '/';
  SoundFolders folders(folder);
  int set = argc > 2 && argv[2][0] != '-' ? std::atoi(argv[2]) : 0;
  bool table = argc > 2 && std::strcmp(argv[argc - 1], "--table") == 0;
  LayerChain chain = layer_chain(set, folders);
  if (chain.count < 2) {
    std::fprintf(stderr, "velocity_touch: set %d has no loud layer in %s\n", set, folder.c_str());
    return 1;
  }
  const int loud = chain.sets[1];
  const LayerZone zone = chain.zones[0];
  std::printf("set %d, loud layer %d, zone %d..%d\n", set, loud, zone.from, zone.to);

  // Load times: each first with a fresh cache folder, then from the folder
  // the pair's load filled.
  char cache[] = "/tmp/velocity_touch_XXXXXX";
  char cache2[] = "/tmp/velocity_touch_XXXXXX";
  if (!mkdtemp(cache) || !mkdtemp(cache2)) return 1;
  fbs_set_sample_cache(cache);
  double cold_single = start(folders, set, 0);
  offline_stop();
  fbs_set_sample_cache(cache2);
  double cold_pair = start(folders, set, 1);
  offline_stop();
  double warm_single = start(folders, set, 0);
  offline_stop();
  double warm_pair = start(folders, set, 1);
  std::printf("loud layer against the set, waves 0..8: gain");
  for (int w = 0; w < kSamplesPerSet; w++) std::printf(" %.2f", loaded_layers.match.gain[1][w]);
  std::printf(", coherence");
  for (int w = 0; w < kSamplesPerSet; w++) std::printf(" %.2f", loaded_layers.match.coherence[0][w]);
  std::printf("\n");
  offline_stop();
  std::printf("load: cold %.2f s alone, %.2f s with its layer (x%.2f); warm %.2f s alone, %.2f s with its layer "
              "(x%.2f)\n",
              cold_single, cold_pair, cold_pair / cold_single, warm_single, warm_pair, warm_pair / warm_single);
  std::system((std::string("rm -rf ") + cache + " " + cache2).c_str());

  const int keys[3] = {36, 60, 84};
  static Curve curves[3];
  for (int layers = 1; layers >= 0; layers--) {
    start(folders, set, layers);
    for (int k = 0; k < 3; k++) {
      for (int v = 1; v <= 127; v++) {
        std::vector<double> s = touch_play({keys[k]}, v, 0.3);
        (layers ? curves[k].rms_on : curves[k].rms_off)[v] = touch_rms_db(s, 0.3);
        (layers ? curves[k].centroid : curves[k].centroid_off)[v] = touch_centroid_hz(s, 0.1);
      }
    }
    offline_stop();
  }
  // The two sets alone at one velocity, for what they differ by.
  double set_centroid[2][3];
  for (int which = 0; which < 2; which++) {
    start(folders, which == 0 ? set : loud, 0);
    for (int k = 0; k < 3; k++) set_centroid[which][k] = touch_centroid_hz(touch_play({keys[k]}, 100, 0.1), 0.1);
    offline_stop();
  }

  bool ok = true;
  for (int k = 0; k < 3; k++) {
    const Curve& c = curves[k];
    // The 16-bit output's rounding noise, white, lifts the centroid of the
    // softest notes whatever plays them (set alone or layers): the tone is
    // judged from the first velocity whose note stands 70 dB above it.
    int clean = 1;
    while (clean < 127 && c.rms_off[clean] < kNoiseFloorDb + 70) clean++;
    double lo = 1e9, hi = -1e9, worst_fall_rms = 0, worst_off = 0, worst_fall_c = 0, worst_step_c = 0;
    int fall_at = 0, step_at = 0;
    for (int v = 1; v <= 127; v++) {
      worst_off = std::max(worst_off, std::fabs(c.rms_on[v] - c.rms_off[v]));
      if (v > 1) worst_fall_rms = std::max(worst_fall_rms, c.rms_on[v - 1] - c.rms_on[v]);
      if (v < clean) continue;
      lo = std::min(lo, c.centroid[v]);
      hi = std::max(hi, c.centroid[v]);
      if (v > clean) {
        if (c.centroid[v - 1] - c.centroid[v] > worst_fall_c) worst_fall_c = c.centroid[v - 1] - c.centroid[v], fall_at = v;
        if (std::fabs(c.centroid[v] - c.centroid[v - 1]) > worst_step_c)
          worst_step_c = std::fabs(c.centroid[v] - c.centroid[v - 1]), step_at = v;
      }
    }
    double range = hi - lo;
    double differ = std::fabs(set_centroid[1][k] - set_centroid[0][k]);
    bool pass = worst_fall_rms <= 0.2 && worst_off <= 1.5 && worst_fall_c <= 0.01 * range &&
                worst_step_c <= 0.15 * range && range >= differ * 0.999;
    ok = ok && pass;
    std::printf("key %d: RMS falls at most %.3f dB a step (<= 0.2), differs from layers off by at most %.2f dB "
                "(<= 1.5); from velocity %d: centroid %.0f..%.0f Hz (range %.0f, the sets differ by %.0f), falls "
                "at most %.2f%% (at %d) and steps at most %.1f%% (at %d) of its range (<= 1%%, <= 15%%): %s\n",
                keys[k], worst_fall_rms, worst_off, clean, lo, hi, range, differ, 100 * worst_fall_c / range, fall_at,
                100 * worst_step_c / range, step_at, pass ? "ok" : "FAILS");
    if (table)
      for (int v = 1; v <= 127; v++)
        std::printf("  %3d  %7.2f dB  %7.2f dB off  %6.0f Hz  %6.0f Hz off\n", v, c.rms_on[v], c.rms_off[v],
                    c.centroid[v], c.centroid_off[v]);
  }

  // Beating: a held C major chord in the middle of the zone, and the loud
  // layer alone at the same velocity.
  const int middle = (zone.from + zone.to) / 2;
  start(folders, set, 1);
  double layered = touch_beating_db(touch_play({48, 60, 64, 67}, middle, 4.0));
  offline_stop();
  start(folders, loud, 0);
  double alone = touch_beating_db(touch_play({48, 60, 64, 67}, middle, 4.0));
  offline_stop();
  bool beat_ok = layered - alone <= 3.0;
  ok = ok && beat_ok;
  std::printf("chord 48 60 64 67 at velocity %d, 4 s: envelope modulation %.2f dB layered, %.2f dB the loud layer "
              "alone (at most 3 dB more): %s\n",
              middle, layered, alone, beat_ok ? "ok" : "FAILS");
  return ok ? 0 : 1;
}
