// What the pool needs of a buffer beyond the public operations: only BufTab sets a buffer's owner
// and index. Not for use outside the media layer.
#pragma once

#include "encode/media/buffer.h"

void Buffer_setOwner(Buffer_Handle hBuf, BufTab_Handle hBufTab, int id);
