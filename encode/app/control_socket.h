// The encoder's control socket: a UNIX datagram socket at /tmp/encode.ctl (resolved under
// ENCODE_ROOT) on which programs beside the encoder ask it for something now. One datagram is one
// request, a line of text:
//   keyframe main     an IDR picture on the main stream at the next frame
//   keyframe second   likewise on the second stream
// A key frame is honoured at most once a second per stream, whoever asks (key_frames.h). Nothing is
// answered: a sender must not wait on the encoder. An unknown request is printed once per run of them
// and ignored. The socket is open to every local user: the worst a request can do is the one IDR
// picture a second.
//
// ControlSocket_start makes the socket and its thread, ControlSocket_stop ends the thread (within a
// tick) and removes the socket; both on the main thread.
#pragma once

#include "encode/video/key_frames.h"

typedef struct ControlSocket_Object *ControlSocket_Handle;

// `requests` holds the main stream's request, then the second stream's; it outlives the handle.
// Null after one line when the socket cannot be made: the encoder runs on without it.
ControlSocket_Handle ControlSocket_start(KeyRequest *requests);

// Null is ignored.
void ControlSocket_stop(ControlSocket_Handle h);

// Requests taken so far (read by tests and the status).
unsigned long ControlSocket_taken(ControlSocket_Handle h);
