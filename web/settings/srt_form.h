// The SRT section of the settings page: one button, srt_submit, stores every SRT field the form sent
// into /mnt/srt.ini at once (fields not sent keep their stored values), after checking each with the
// encoder's own reader, so that the page never stores a file the encoder would refuse. A refused value
// prints one line and changes nothing. The file is written whole, the previous one kept as
// /mnt/srt.ini.swp; typed text reaches the file through file I/O only.
#pragma once

void SrtForm_action();
