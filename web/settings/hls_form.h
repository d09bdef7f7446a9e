// The HLS section of the settings page: the button hls_submit stores every HLS field the form sent
// (hls_enable, hls_segment, hls_segments, hls_public, hls_push_url) into /mnt/hls.ini at once; fields
// not sent keep their stored values. Each value is checked by the encoder's own reader and the whole
// file again before it is written, so that the page never stores a file the encoder would refuse; a
// refused value prints one line and changes nothing. The file is written whole, the previous one kept
// as /mnt/hls.ini.swp.
//
// The push URL's password is a secret the page never shows: the page shows the URL with "***" in its
// place (HlsSettings_shownUrl). The field sent back as shown keeps the stored URL; sent with "***" and
// the same user and host, the stored password is kept under the typed path; anything else is stored as
// typed. An empty field stores no push. No answer prints the password.
#pragma once

void HlsForm_action();
