// One HTTP request with every wait bounded and cut short by a stop: what the outputs that talk HTTP
// to a peer (the WHIP session, the HLS push) send through. libcurl on its multi interface, polled
// every 20 ms, since a blocking transfer could only be cut short by its progress callback, about once
// a second. https is verified against the system's CA store; only http and https are spoken.
//
// Threads: any, one request per call; nothing is kept between calls.
#pragma once

#include "encode/media/wait.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct HttpReply {
    long status = 0;
    std::string body;         // up to 64 KiB; a longer one fails the request
    std::string location;     // as the answer said it
    std::string contentType;
    std::string effectiveUrl; // where the answer came from, after redirections
    std::string error;        // why no answer came
};

struct HttpRequest {
    const char *method = "GET";
    std::string url;
    const char *contentType = nullptr; // with a body
    const uint8_t *body = nullptr;     // the caller's, for the call
    size_t bodyBytes = 0;
    std::string bearer;                // sent as "Authorization: Bearer" when not empty
    int connectMs = 3000;              // the TCP (and TLS) connection
    int totalMs = 5000;                // all of it
    bool followRedirects = false;      // up to 3
};

// False when no answer came (`reply.error` says why; "stopped" when the stop or `aborted` cut it).
bool Http_request(const HttpRequest &request, const MediaStop *stop, const std::atomic<bool> &aborted, HttpReply &reply);

// The Location against the URL the answer came from (RFC 3986 resolution); empty when it is none.
std::string Http_resolve(const std::string &base, const std::string &location);

// What a status or a line may name a peer by: the URL without user info, query or fragment.
std::string Http_publicUrl(std::string_view url);

// The first line of what a peer said, printable, at most 120 characters, with `secret` (if any)
// replaced even when the peer echoes it.
std::string Http_reason(const std::string &text, const std::string &secret);
