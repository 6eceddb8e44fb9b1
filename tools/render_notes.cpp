// Writes the MIDI files from which a piano sample set is rendered: one
// standard MIDI file per sample note 12, 24, ..., 108, each playing that note
// once on a General MIDI program with the key held 14 s in a 16 s file.
//
// usage: render_notes OUT_DIR PROGRAM [VELOCITY]
// writes OUT_DIR/note_12.mid ... OUT_DIR/note_108.mid
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// 480 ticks per quarter note at 120 beats a minute: 960 ticks a second.
constexpr int kTicksPerQuarter = 480;
constexpr int kTicksPerSecond = 960;
constexpr int kHoldSeconds = 14;
constexpr int kTotalSeconds = 16;

static void put_be(std::vector<unsigned char>& out, unsigned value, int bytes) {
  for (int i = bytes - 1; i >= 0; i--) out.push_back((unsigned char)(value >> (8 * i)));
}

// Variable-length quantity of a delta time: seven bits a byte, high bit set
// on every byte but the last.
static void put_delta(std::vector<unsigned char>& out, unsigned value) {
  unsigned char bytes[5];
  int n = 0;
  do {
    bytes[n++] = value & 0x7F;
    value >>= 7;
  } while (value != 0);
  while (n > 1) out.push_back(bytes[--n] | 0x80);
  out.push_back(bytes[0]);
}

static std::vector<unsigned char> note_file(int program, int note, int velocity) {
  std::vector<unsigned char> track;
  put_delta(track, 0);  // tempo 500000 us a quarter note
  track.insert(track.end(), {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20});
  put_delta(track, 0);
  track.insert(track.end(), {0xC0, (unsigned char)program});
  put_delta(track, 0);  // centre pan, full channel volume, no sustain pedal
  track.insert(track.end(), {0xB0, 10, 64});
  put_delta(track, 0);
  track.insert(track.end(), {0xB0, 7, 127});
  put_delta(track, 0);
  track.insert(track.end(), {0xB0, 64, 0});
  put_delta(track, 0);
  track.insert(track.end(), {0x90, (unsigned char)note, (unsigned char)velocity});
  put_delta(track, kHoldSeconds * kTicksPerSecond);
  track.insert(track.end(), {0x80, (unsigned char)note, 0});
  put_delta(track, (kTotalSeconds - kHoldSeconds) * kTicksPerSecond);
  track.insert(track.end(), {0xFF, 0x2F, 0x00});

  std::vector<unsigned char> file = {'M', 'T', 'h', 'd'};
  put_be(file, 6, 4);
  put_be(file, 0, 2);  // format 0: a single track
  put_be(file, 1, 2);
  put_be(file, kTicksPerQuarter, 2);
  file.insert(file.end(), {'M', 'T', 'r', 'k'});
  put_be(file, (unsigned)track.size(), 4);
  file.insert(file.end(), track.begin(), track.end());
  return file;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: render_notes OUT_DIR PROGRAM [VELOCITY]\n");
    return 2;
  }
  std::string dir = argv[1];
  int program = std::atoi(argv[2]);
  int velocity = argc > 3 ? std::atoi(argv[3]) : 110;
  if (program < 0 || program > 127 || velocity < 1 || velocity > 127) {
    std::fprintf(stderr, "render_notes: program 0..127, velocity 1..127\n");
    return 2;
  }
  for (int note = 12; note <= 108; note += 12) {
    std::vector<unsigned char> data = note_file(program, note, velocity);
    std::string name = dir + "/note_" + std::to_string(note) + ".mid";
    FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr || std::fwrite(data.data(), 1, data.size(), f) != data.size()) {
      std::fprintf(stderr, "render_notes: cannot write %s\n", name.c_str());
      if (f) std::fclose(f);
      return 1;
    }
    if (std::fclose(f) != 0) return 1;
  }
  return 0;
}
