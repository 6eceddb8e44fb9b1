// SPDX-License-Identifier: GPL-3.0-or-later
// OSC over UDP with one peer, on liblo.
#include "platform/osc_link.h"

#include <lo/lo.h>

#include <cctype>
#include <deque>

namespace {

lo_server server = nullptr;
lo_address peer = nullptr;
// What the socket delivered and the caller has not taken yet.
std::deque<OscMessage> arrived;
// A peer that floods the socket does not grow this without end.
constexpr size_t kArrivedMax = 256;

// liblo reports a bad packet here; such a packet is only dropped.
void quiet_error(int, const char*, const char*) {}

int take_message(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void*) {
  if (arrived.size() >= kArrivedMax) return 0;
  OscMessage message;
  message.path = path ? path : "";
  for (int i = 0; i < argc; i++) {
    OscArg arg;
    if (types[i] == 's' || types[i] == 'S') {
      arg.type = 's';
      arg.text = &argv[i]->s;
    } else if (types[i] == 'i') {
      arg.type = 'i';
      arg.number = argv[i]->i;
    }
    message.args.push_back(arg);
  }
  arrived.push_back(std::move(message));
  return 0;
}

}  // namespace

OscArg osc_text(const std::string& text) {
  OscArg arg;
  arg.type = 's';
  arg.text = text;
  return arg;
}

OscArg osc_int(int number) {
  OscArg arg;
  arg.type = 'i';
  arg.number = number;
  return arg;
}

bool osc_url_valid(const std::string& url) {
  const std::string scheme = "osc.udp://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  size_t slash = url.find('/', scheme.size());
  std::string host_port = url.substr(scheme.size(), slash == std::string::npos ? std::string::npos : slash - scheme.size());
  size_t colon = host_port.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string port = host_port.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  long number = 0;
  for (char c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    number = number * 10 + (c - '0');
  }
  return number >= 1 && number <= 65535;
}

std::string osc_open(const std::string& url) {
  osc_close();
  if (!osc_url_valid(url)) return "not an OSC address over UDP (osc.udp://HOST:PORT/)";
  peer = lo_address_new_from_url(url.c_str());
  if (peer == nullptr) return "not an OSC address over UDP (osc.udp://HOST:PORT/)";
  // A free port of our own, on the peer's kind of address.
  server = lo_server_new_with_proto(nullptr, LO_UDP, quiet_error);
  if (server == nullptr) {
    lo_address_free(peer);
    peer = nullptr;
    return "no UDP socket";
  }
  lo_server_add_method(server, nullptr, nullptr, take_message, nullptr);
  return "";
}

void osc_close() {
  if (server) lo_server_free(server);
  if (peer) lo_address_free(peer);
  server = nullptr;
  peer = nullptr;
  arrived.clear();
}

bool osc_is_open() { return server != nullptr; }

bool osc_send(const std::string& path, const std::vector<OscArg>& args) {
  if (server == nullptr) return false;
  lo_message message = lo_message_new();
  if (message == nullptr) return false;
  for (const OscArg& arg : args) {
    if (arg.type == 'i')
      lo_message_add_int32(message, arg.number);
    else
      lo_message_add_string(message, arg.text.c_str());
  }
  int sent = lo_send_message_from(peer, server, path.c_str(), message);
  lo_message_free(message);
  return sent >= 0;
}

bool osc_receive(OscMessage* message, int timeout_ms) {
  if (server == nullptr) return false;
  if (arrived.empty()) {
    // One wait, then whatever else is already there.
    if (lo_server_recv_noblock(server, timeout_ms < 0 ? 0 : timeout_ms) > 0)
      while (arrived.size() < kArrivedMax && lo_server_recv_noblock(server, 0) > 0) {
      }
  }
  if (arrived.empty()) return false;
  *message = std::move(arrived.front());
  arrived.pop_front();
  return true;
}
