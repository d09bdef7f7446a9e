// The analog input volume in the ALSA mixer state file /mnt/asound.state: the two channel values of
// the capture volume control, which is the block after the 27th "{" of the platform's file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct MixerVolume {
    size_t pos0 = 0, len0 = 0; // the number ending the first line with ".0" after the 27th "{"
    size_t pos1 = 0, len1 = 0; // the number ending the first later line with ".1"
    int value = 0;             // the first of the two
    // The control's own range ("comment.range 'LO - HI'"), when the file states it.
    bool hasRange = false;
    int lo = 0, hi = 0;
};

// Finds the two values; nullopt when the file does not have that shape.
std::optional<MixerVolume> Mixer_find(std::string_view state);

// The file with both values replaced by `value`.
std::string Mixer_replace(std::string_view state, const MixerVolume &v, std::string_view value);
