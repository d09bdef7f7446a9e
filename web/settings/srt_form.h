// The SRT section of the settings page: the button srt_submit stores every SRT field the form sent
// into /mnt/srt.ini at once (fields not sent keep their stored values), after checking each with the
// encoder's own reader, so that the page never stores a file the encoder would refuse. The passphrase
// is a secret the page never shows: an empty srt_passphrase keeps the stored one, and the button
// srt_passphrase_clear stores the form without one. A refused value prints one line and changes
// nothing. The file is written whole, the previous one kept as /mnt/srt.ini.swp; typed text reaches the
// file through file I/O only.
#pragma once

void SrtForm_action();
