// The WHEP side of the WebRTC server: the requests the web server's WHEP program relays, on a UNIX
// stream socket (/tmp/webrtc.sock under ENCODE_ROOT), plain HTTP/1.0, one request per connection:
//   POST /whep/main, POST /whep/second   an SDP offer (application/sdp, at most 64 KiB): 201 Created
//                                         with the answer and the session's Location
//   DELETE /whep/<stream>/<id>           ends that session: 200; 404 for one that is not (or no
//                                         longer) there
// Every refusal is one line of text/plain: 400 a malformed offer or one with no video the box can
// send, 404, 405 another method (trickle ICE's PATCH included: the answer carries every candidate),
// 413, 415, 503 every viewer in use, WebRTC off or the stream not running; 500 webrtcbin failed.
//
// The socket's thread takes one connection at a time, each read and write bounded, so that a client
// that sends nothing holds it 2 s at most. Viewers are freed by DELETE, by the janitor
// (WhepServer_tend, once a second: a viewer whose connection failed or whose browser went silent),
// and at the stop.
#pragma once

#include "encode/core/webrtc_settings.h"
#include "webrtc/feed.h"

#include <nlohmann/json_fwd.hpp>

#include <string>

typedef struct WhepServer_Object *WhepServer_Handle;

// Null after one line when the socket cannot be made. With `settings.enable` off the server still
// answers, with 503 "refused: WebRTC is off on this box".
WhepServer_Handle WhepServer_start(Feed_Handle feed, const WebrtcSettings &settings);

// Frees the viewers that are gone (one line each) and fills `viewers` with the rest's status objects.
void WhepServer_tend(WhepServer_Handle h, nlohmann::json &viewers);

// Every viewer freed, the socket's thread joined, the socket removed. Null is ignored.
void WhepServer_stop(WhepServer_Handle h);

// One request's answer, for the socket and for tests: the status line's code and text, the content
// type, the Location (may be empty) and the body.
struct WhepAnswer {
    int code = 500;
    std::string location;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
};

// Handles one parsed request (the method, the path, the Content-Type, the body, the client's address).
WhepAnswer WhepServer_handle(WhepServer_Handle h, const std::string &method, const std::string &path,
                             const std::string &contentType, const std::string &body, const std::string &address);
