// SPDX-License-Identifier: GPL-3.0-or-later
// The main loop's requests.
#include "app/loop_request.h"

namespace {

constexpr int kNoRequest = -2;
constexpr int kReload = -1;

int set_request = kNoRequest;  // kReload, a set to switch to, or kNoRequest
bool rebuild_request = false;

}  // namespace

void request_reload() { set_request = kReload; }

void request_set(int set) { set_request = set < 0 ? kReload : set; }

void request_window_rebuild() { rebuild_request = true; }

bool set_change_requested() { return set_request != kNoRequest; }

int take_set_request(int piano_sound) {
  int set = set_request;
  set_request = kNoRequest;
  if (set == kNoRequest) return -1;
  return set == kReload ? piano_sound : set;
}

void cancel_set_request() { set_request = kNoRequest; }

bool take_window_rebuild_request() {
  bool asked = rebuild_request;
  rebuild_request = false;
  return asked;
}
