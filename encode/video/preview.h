// The preview picture of the operator's page: every PREVIEW_PERIOD_MS the video thread offers the
// picture it has just coded; the preview scales it once, into a small picture of its own
// (PREVIEW_WIDTH pixels wide, 4:2:0), and the status thread turns the latest small picture into a
// JPEG file. The video thread never waits: when the status thread holds the small picture, the offer
// is passed over; nothing is allocated after the start.
#pragma once

#include "encode/media/buffer.h"

#include <string>

inline constexpr int PREVIEW_WIDTH = 320;
inline constexpr int PREVIEW_PERIOD_MS = 2000;

// Video thread, before its loop: the scaler and the small picture for a main picture of this size.
// False when they cannot be made (one line; the preview stays empty, the stream runs).
bool Preview_start(int width, int height);
// Video thread, after each coded frame (its main picture in place): scaled when a period has passed.
void Preview_offer(Buffer_Handle captured);
// Video thread, at its end.
void Preview_stop();

// Status thread: the newest small picture as a JPEG at `systemPath` (under ENCODE_ROOT), written to a
// temporary name and renamed. False when there is no new picture since the last call, or on failure.
bool Preview_writeJpeg(const std::string &systemPath);
