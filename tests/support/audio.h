// Audio in tests: tones made with sox, recordings read back as 8 kHz mono,
// and a Goertzel check of which frequency a recording carries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A sine of `hz` at half scale into `path` (".wav", or ".raw" for headerless
// 16-bit mono), `rate` samples per second. False when sox failed.
bool MakeTone(const std::string &path, int hz, double seconds, int rate = 8000);

// Equal sines of `hz` (together at half scale) into `path`, `rate` samples
// per second, `ch` channels alike (".raw": headerless, mono).
bool MakeSines(const std::string &path, const std::vector<int> &hz, double seconds, int rate, int ch = 1);

// A recording as 8 kHz mono 16-bit samples (sox converts); `rawRate` reads a
// headerless 16-bit mono file of that rate. Empty when unreadable.
std::vector<int16_t> Read8k(const std::string &path, int rawRate = 0);
// The same at `rate`, channels mixed to one.
std::vector<int16_t> ReadMono(const std::string &path, int rate, int rawRate = 0);
// The level of `hz` (dB against full scale) in `seconds` of `samples` at
// `rate` from `from` seconds on: the median of 100 ms Hann windows.
double LevelDb(const std::vector<int16_t> &samples, int rate, double hz, double from, double seconds);

// Whether the 20 ms block of `samples` (8 kHz) from index `i` is mostly a
// tone of `hz` (louder than -40 dBFS, with most of its energy at that frequency).
bool ToneBlock(const std::vector<int16_t> &samples, size_t i, double hz);
// Seconds of `samples` in such blocks.
double ToneSeconds(const std::vector<int16_t> &samples, double hz);

// What a microphone beside the loudspeaker hears of `played` (mono, `rate`):
// the direct sound after `delayMs`, then reflections decaying over about
// 60 ms, -6 dB in all.
std::vector<int16_t> Room(const std::vector<int16_t> &played, int rate, double delayMs);
// Energy in dB (against full scale) of `s` from `from` to `to` seconds.
double EnergyDb(const std::vector<int16_t> &s, int rate, double from, double to);
