// SPDX-License-Identifier: GPL-3.0-or-later
// The two forms of a sample file: 16-bit stereo WAV at 44.1 kHz, and MP3
// (192 kbit/s with the encoder's information frame, from which the engine's
// loader drops the encoder's delay and padding). Each is written completely
// and flushed to the disk, or not at all (the file removed). The path must
// be new: a file or link already at it is refused, never written through.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// pcm: interleaved left, right at kSetRate.
bool write_wav_file(const std::string& path, const std::vector<int16_t>& pcm);
bool write_mp3_file(const std::string& path, const std::vector<int16_t>& pcm);
