// SPDX-License-Identifier: GPL-3.0-or-later
// What a JACK client plays, recorded by a client of the test: two audio
// inputs connected to its first two output ports, up to a minute of frames,
// full scale 32768 as in a WAV file. Header-only, like audio_check.h.
#pragma once
#include <jack/jack.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <string>
#include <vector>

#include "tests/support/audio_check.h"

class JackCapture {
 public:
  ~JackCapture() { close(); }
  // Opens the capture client ("qd_capture:left", "qd_capture:right") and
  // connects it to `client_name`'s first two output ports; with an empty
  // name it connects to nothing (the client under test connects itself).
  bool open(const std::string& client_name) {
    client_ = jack_client_open("qd_capture", JackNoStartServer, nullptr);
    if (!client_) return false;
    rate_ = (int)jack_get_sample_rate(client_);
    left_.assign((size_t)rate_ * 60, 0.0f);
    right_.assign(left_.size(), 0.0f);
    for (int c = 0; c < 2; c++)
      ports_[c] = jack_port_register(client_, c ? "right" : "left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (!ports_[0] || !ports_[1] || jack_set_process_callback(client_, process, this) != 0 ||
        jack_activate(client_) != 0)
      return false;
    return client_name.empty() || connect(client_name);
  }
  bool connect(const std::string& client_name) {
    for (int c = 0; c < 2; c++) {
      std::string from = client_name + ":outport " + std::to_string(c);
      int r = jack_connect(client_, from.c_str(), jack_port_name(ports_[c]));
      if (r != 0 && r != EEXIST) return false;
    }
    return true;
  }
  void close() {
    if (client_) jack_client_close(client_);
    client_ = nullptr;
  }
  size_t frames() const { return count_.load(); }
  audiocheck::Recording recording() const {
    audiocheck::Recording rec;
    rec.rate = rate_;
    size_t n = count_.load();
    rec.left.assign(left_.begin(), left_.begin() + n);
    rec.right.assign(right_.begin(), right_.begin() + n);
    rec.mono.resize(n);
    for (size_t f = 0; f < n; f++) rec.mono[f] = (rec.left[f] + rec.right[f]) / 2;
    return rec;
  }

 private:
  static int process(jack_nframes_t frames, void* arg) {
    JackCapture* self = static_cast<JackCapture*>(arg);
    size_t at = self->count_.load(std::memory_order_relaxed);
    size_t n = std::min((size_t)frames, self->left_.size() - at);
    for (int c = 0; c < 2; c++) {
      const float* in = static_cast<const float*>(jack_port_get_buffer(self->ports_[c], frames));
      std::vector<float>& out = c ? self->right_ : self->left_;
      for (size_t f = 0; f < n; f++) out[at + f] = in[f] * 32768.0f;
    }
    self->count_.store(at + n, std::memory_order_release);
    return 0;
  }
  jack_client_t* client_ = nullptr;
  jack_port_t* ports_[2] = {nullptr, nullptr};
  int rate_ = 0;
  std::vector<float> left_, right_;
  std::atomic<size_t> count_{0};
};
