// The on/off switches of the outputs, read once from the configuration store by the main thread
// before option parsing, consulted by every output afterwards. Each switch is 1 only when its file's
// first character is '1'; the RTSP/RTMP choice also takes '2' (both at once).
//
// The recorder may already run while the main thread reads the last switch files, so the record is
// copied in and out under one mutex.
#pragma once

#include <cstdint>

struct OutputSwitches {
    uint8_t tsOff;    // /mnt/ts.ini: 1 = no TS output over UDP or HTTP
    int ra202;        // /mnt/ra202.ini: the ra202 board
    uint8_t tsRecord; // /mnt/tsf.ini: record the TS to USB storage
    uint8_t httpTs;   // /mnt/httpts.ini: the TS goes to the HTTP server instead of UDP
    uint8_t tcp;      // /mnt/tcp.ini: TCP sends carry the stream tag
    uint8_t rtsp;     // /mnt/rtsp.ini: RTSP hand-off FIFOs (or RTMP)
    uint8_t rtmp;     // /mnt/rtsporrtmp.ini, with rtsp on: 0 the FIFOs, 1 RTMP instead of them, 2 both
};

// With the RTSP hand-off on: the RTSP server's FIFOs are fed, and RTMP is published.
inline bool OutputSwitches_feedsFifos(const OutputSwitches &s)
{
    return s.rtsp != 0 && s.rtmp != 1;
}
inline bool OutputSwitches_publishes(const OutputSwitches &s)
{
    return s.rtsp != 0 && (s.rtmp == 1 || s.rtmp == 2);
}

OutputSwitches OutputSwitches_get();
void OutputSwitches_set(const OutputSwitches &switches);
// Every switch off (tests, and the start of a run).
void OutputSwitches_reset();
