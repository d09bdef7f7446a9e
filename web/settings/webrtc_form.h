// The WebRTC and WHIP sections of the settings page. webrtc_submit stores the live picture's fields
// (webrtc_enable, webrtc_viewers, webrtc_stun) into /mnt/webrtc.ini, whip_submit the WHIP output's
// (whip_enable, whip_url, whip_token) into /mnt/whip.ini; fields not sent keep their stored values.
// Each value is checked by the WebRTC server's own reader and the whole file again before it is
// written, so that the page never stores a file the server would refuse. The file is written whole,
// the previous one kept as .swp beside it.
//
// The token and a TURN server's address (it carries a user and a password) are secrets the page never
// shows: an empty field keeps the stored one, and webrtc_stun_clear / whip_token_clear store the form
// without one. A plain STUN address is shown, so an empty field clears it. No answer prints a secret.
#pragma once

void WebrtcForm_action();
void WhipForm_action();

