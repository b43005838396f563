#pragma once

#include <string>

namespace varelle::params
{

// Host-visible parameter IDs. Zone parameters are "zone_" + index + "_" + one of kZoneSuffixes.
inline constexpr const char* panEnabled = "pan_enabled";
inline constexpr const char* panMode = "pan_mode";
inline constexpr const char* panHardness = "pan_hardness";
inline constexpr const char* panGlide = "pan_glide";
inline constexpr const char* panSpread = "pan_spread";
inline constexpr const char* panLowNote = "pan_low_note";
inline constexpr const char* panCenterNote = "pan_center_note";
inline constexpr const char* panHighNote = "pan_high_note";
inline constexpr const char* stereoMode = "stereo_mode";
inline constexpr const char* stereoWidth = "stereo_width";
inline constexpr const char* outputWidth = "output_width";
inline constexpr const char* masterPan = "master_pan";
inline constexpr const char* flipLR = "flip_lr";
inline constexpr const char* outputGainDb = "output_gain_db";
inline constexpr const char* wetDryMix = "wet_dry_mix";
inline constexpr const char* reverbMix = "reverb_mix";
inline constexpr const char* reverbSize = "reverb_size";
inline constexpr const char* zoneFxEnabled = "zone_fx_enabled";
inline constexpr const char* midiOffset = "midi_offset";
inline constexpr const char* autoKey = "auto_key";
inline constexpr const char* detectionEngine = "detection_engine";
inline constexpr const char* detectionPreset = "detection_preset";

inline constexpr int kNumZones = 3;
inline constexpr int kNumZoneParams = 8;
inline constexpr const char* kZoneSuffixes[kNumZoneParams] = {
    "eq_low", "eq_mid", "eq_high", "volume", "reverb_send", "delay_time", "delay_feedback", "delay_mix"
};
enum ZoneParamIndex { zoneEqLow, zoneEqMid, zoneEqHigh, zoneVolume, zoneReverbSend, zoneDelayTime, zoneDelayFeedback, zoneDelayMix };

inline constexpr int kNumParameters = 46;

/** "zone_" + zone index + "_" + suffix, e.g. "zone_2_delay_mix". */
inline std::string zoneParamID (int zone, int suffixIndex)
{
    return "zone_" + std::to_string (zone) + "_" + kZoneSuffixes[suffixIndex];
}


// "detection_engine" items.
enum DetectionEngine { engineAuto = 0, engineClassical = 1, engineNeural = 2 };

} // namespace varelle::params
