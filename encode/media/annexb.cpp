#include "encode/media/annexb.h"

int AnnexB_startCodeAt(const uint8_t *u, int bytes, int i)
{
    if (i + 4 <= bytes && u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 0 && u[i + 3] == 1) {
        return 4;
    }
    if (i + 3 <= bytes && u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 1) {
        return 3;
    }
    return 0;
}

AnnexB_Nal AnnexB_nalAt(const uint8_t *u, int bytes, int at, int *next)
{
    int sc = AnnexB_startCodeAt(u, bytes, at);
    int begin = at + sc;
    int i = begin;
    while (i + 3 <= bytes && !(u[i] == 0 && u[i + 1] == 0 && (u[i + 2] == 1 || u[i + 2] == 0))) {
        i++;
    }
    int end = i + 3 <= bytes ? i : bytes;
    int scan = end;
    while (scan < bytes && AnnexB_startCodeAt(u, bytes, scan) == 0) {
        scan++; // zeros before the next start code, or inside a stray 00 00 00
    }
    *next = scan;
    while (end > begin && u[end - 1] == 0) {
        end--;
    }
    return {u + begin, end - begin, sc};
}

bool AnnexB_beginsWithSps(const uint8_t *u, int bytes)
{
    return bytes > 4 && AnnexB_startCodeAt(u, bytes, 0) == 4 && (u[4] & 0x1F) == AnnexB_NAL_SPS;
}

bool AnnexB_startsDecoding(const uint8_t *u, int bytes)
{
    for (int i = 0; i + 3 < bytes; i++) {
        if (u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 1) {
            int type = u[i + 3] & 0x1F;
            if (type == AnnexB_NAL_IDR || type == AnnexB_NAL_SPS) {
                return true;
            }
            if (type == AnnexB_NAL_SLICE) {
                return false;
            }
        }
    }
    return false;
}
