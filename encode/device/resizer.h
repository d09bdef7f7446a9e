// The second picture: a smaller NV12 copy of every captured picture, written into the same buffer
// right behind the main picture (offset lineLength x height x 3/2, line length = its own width).
//
// On the board the SoC's previewer and resizer run continuously behind the capture device and the
// resizer's second output writes it; the adapter only sets them up (/dev/soc_resizer and
// /dev/soc_previewer). Elsewhere the software scaler (an exact area filter) makes it from the main
// picture, once per frame, in the capture thread, before the buffer is handed on.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct Resizer_Object *Resizer_Handle;

// The second picture: enabled (1), width, height (the first three fields of /mnt/kavex_rs.ini).
struct ResizerSettings {
    int enabled = 0;
    int width = 0;
    int height = 0;
};

// True when the resizer can make this second picture from a main picture of width x height: an even
// size from 2x2 up to the main picture's.
bool Resizer_fits(const ResizerSettings &settings, int width, int height);

// True when the SoC resizer's device node exists.
bool Resizer_hardwarePresent();

// Sets the resizer and previewer chain up ("[Resize] ..." messages). Null on failure.
Resizer_Handle Resizer_createHardware(const ResizerSettings &settings, bool cameraInput);

// The software scaler for a main picture of the given geometry (NV12). Null when the second picture is
// not enabled (nothing to make), and null with *failed set when it cannot be made: a size that is not
// even and positive, or larger than the main picture.
Resizer_Handle Resizer_createSoftware(const ResizerSettings &settings, int width, int height, int lineLength,
                                      bool *failed);

// Bytes the second picture needs behind the main one.
size_t Resizer_secondSize(const ResizerSettings &settings);

// Writes the second picture behind the main picture of `frame` (software scaler only; the hardware
// chain has done it already). 0, or -1 when the buffer is too small.
int Resizer_process(Resizer_Handle hResizer, uint8_t *frame, size_t size);
// The same from a main picture at `frame` into a second picture (NV12, line length its width) at
// `second`, wherever it lies (software scaler only).
void Resizer_scale(Resizer_Handle hResizer, const uint8_t *frame, uint8_t *second);

void Resizer_delete(Resizer_Handle hResizer);
