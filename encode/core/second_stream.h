// The second ("fml") stream's settings: /mnt/kavex_rs.ini and, when it is enabled, /mnt/kavex_rsc.ini.
// Read once by the main thread at start; read by the capture thread (the second picture's size), the
// video thread (its encoder) and the writer (where it goes). The capture thread may switch the second
// picture off when the resizer cannot make it, before any other stage reads the settings.
#pragma once

struct SecondStreamSettings {
    int enabled = 0;
    int width = 640;
    int height = 480;
    int bitrate = 800000;
    int framerate = 25; // frames per second
    int intraInterval = 100;
    int idrInterval = 100;
    int tsCarriesSecond = 0;   // kavex_rsc.ini field 1: the UDP/HTTP TS carries the second stream
    int rtspCarriesSecond = 0; // kavex_rsc.ini field 2: the RTSP/RTMP outputs carry it
};

// Reads the two files (missing values keep their defaults), prints the "fml=..." line, and keeps the
// result as the run's settings. An enabled stream with a bit rate or frame rate the encoder cannot
// run at is turned off, an intra interval below 1 becomes the default: one "Warning: " line each on
// standard error.
SecondStreamSettings SecondStream_read();

SecondStreamSettings SecondStream_get();
void SecondStream_set(const SecondStreamSettings &settings);
// The second picture off for the rest of the run, the other values kept.
void SecondStream_disable();
// The defaults again (tests, and the start of a run).
void SecondStream_reset();
