// Overlays burnt into every captured picture before it is encoded: a privacy mask (its rectangle's
// luma coarsened into 16-pixel runs; on the second picture its colour removed as well) and a one-line
// subtitle of GB2312 characters drawn from the glyph table /mnt/zk (32x32) or /mnt/zk48 (48x48).
//
// Both are switched through the configuration store (/mnt/m.ini, /mnt/zk.ini, /mnt/zkcolor.ini,
// /mnt/zhiti.ini), which is polled while the encoder runs, so the web pages switch them without a
// restart. The state is process-wide and belongs to the video thread: only it calls these functions.
#pragma once

#include "encode/media/buffer.h"

// Once when the video thread starts, before rvStart: the font choice (/mnt/zhiti.ini; without it no
// subtitle is ever drawn), the subtitle as /mnt/zk.ini has it now, and the start-up position test
// against the picture (x outside 0..width-128 becomes 60, y outside 0..height becomes 40).
void Osd_start(int width, int height);

// Every captured frame, before it is encoded: the mask, then the subtitle, into the picture the
// buffer's current dimensions describe (4:2:0 semi-planar; the second picture behind it when the second
// stream is on). Each overlay re-reads its file every 45 (mask) or 50 (subtitle) frames while shown and
// every frame while not. Nothing is written outside the picture; a buffer drawn on is marked altered.
void Osd_draw(Buffer_Handle hBuf);

// Both overlays off, no font, built-in colours, counters at 0: the state before Osd_start (tests).
void Osd_reset();
