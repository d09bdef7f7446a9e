// What the settings page and the settings program's answers show of a stored secret (the Wi-Fi key,
// the SRT passphrase, the stream key of an RTMP URL): whether one is set and, for a long one, its last
// characters, so that the operator can tell which one the box holds; never the secret itself. A page
// sends a secret field back empty, or an RTMP URL with its key hidden, and the stored one is kept.
#pragma once

#include <string>
#include <string_view>

// "not set", "set", or "set (…a1b2)". The last 4 characters are shown only for a secret of 12 or
// more, so that at least 8 (as many as the shortest key the box takes) stay hidden and never more
// than a third of it is shown.
std::string Secret_shown(std::string_view secret);

// The stream key of an RTMP URL: what follows the application (after its '/', or after a '?'), which
// RtmpUrl_public shows as "/…". Empty when the URL has none.
std::string_view Secret_streamKey(std::string_view url);

// An RTMP URL as an answer shows it: RtmpUrl_public, ", stream key " and Secret_shown of its key.
std::string Secret_rtmpShown(std::string_view url);

// The URL a posted RTMP field stands for, given the one stored at that place ("" for none): the stored
// one when the field comes back as the page showed it; when it ends in the page's "/…", the typed
// scheme, host and application with the stored URL's hidden parts (its user part and stream key);
// otherwise the text as typed. Returns the refusal line (nothing in it is secret), "" when `url` is set.
std::string Secret_postedUrl(std::string_view posted, std::string_view stored, std::string &url);

// A stored ICE server as an answer shows it: a STUN address as it is; a TURN address (it carries a
// user and a password) as "TURN server, credentials " and Secret_shown of them; "none" when empty.
std::string Secret_iceShown(std::string_view ice);
