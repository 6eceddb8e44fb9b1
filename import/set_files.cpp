// SPDX-License-Identifier: GPL-3.0-or-later
#include "import/set_files.h"

#include <fcntl.h>
#include <lame/lame.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "import/source_note.h"

namespace {

void put(std::vector<uint8_t>& b, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; i++) b.push_back((uint8_t)(v >> (8 * i)));
}

// A new file only: one already there, or a link planted at its name, is
// refused rather than written through.
bool write_all(const std::string& path, const std::vector<uint8_t>& head, const void* body, size_t body_bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    close(fd);
    unlink(path.c_str());
    return false;
  }
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size() &&
            (body_bytes == 0 || std::fwrite(body, 1, body_bytes, f) == body_bytes) && std::fflush(f) == 0 &&
            fsync(fileno(f)) == 0;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) unlink(path.c_str());
  return ok;
}

}  // namespace

bool write_wav_file(const std::string& path, const std::vector<int16_t>& pcm) {
  const uint32_t bytes = (uint32_t)(pcm.size() * 2);
  std::vector<uint8_t> h;
  h.insert(h.end(), {'R', 'I', 'F', 'F'});
  put(h, 36 + bytes, 4);
  h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put(h, 16, 4);
  put(h, 1, 2);  // PCM
  put(h, 2, 2);  // stereo
  put(h, kSetRate, 4);
  put(h, kSetRate * 4, 4);
  put(h, 4, 2);
  put(h, 16, 2);
  h.insert(h.end(), {'d', 'a', 't', 'a'});
  put(h, bytes, 4);
  // The samples little-endian, whatever this machine's order.
  std::vector<uint8_t> body;
  body.reserve(bytes);
  for (int16_t s : pcm) put(body, (uint16_t)s, 2);
  return write_all(path, h, body.data(), bytes);
}

bool write_mp3_file(const std::string& path, const std::vector<int16_t>& pcm) {
  lame_global_flags* lame = lame_init();
  if (!lame) return false;
  lame_set_in_samplerate(lame, kSetRate);
  lame_set_out_samplerate(lame, kSetRate);
  lame_set_num_channels(lame, 2);
  lame_set_VBR(lame, vbr_off);
  lame_set_brate(lame, 192);
  lame_set_quality(lame, 2);
  lame_set_bWriteVbrTag(lame, 1);  // the information frame: delay and padding
  const int frames = (int)(pcm.size() / 2);
  std::vector<uint8_t> mp3((size_t)frames * 5 / 4 + 7200 + 16384);
  bool ok = lame_init_params(lame) >= 0;
  int size = 0;
  if (ok) {
    int n = lame_encode_buffer_interleaved(lame, const_cast<short*>(pcm.data()), frames, mp3.data(), (int)mp3.size());
    int m = n >= 0 ? lame_encode_flush(lame, mp3.data() + n, (int)mp3.size() - n) : -1;
    ok = n >= 0 && m >= 0;
    size = ok ? n + m : 0;
  }
  if (ok) {
    // The information frame goes where the encoder left room for it, at the start.
    uint8_t tag[2880];
    const size_t tag_size = lame_get_lametag_frame(lame, tag, sizeof tag);
    ok = tag_size > 0 && tag_size <= (size_t)size;
    if (ok) std::copy(tag, tag + tag_size, mp3.begin());
  }
  lame_close(lame);
  mp3.resize((size_t)size);
  return ok && write_all(path, mp3, nullptr, 0);
}
