#!/bin/sh
# Names the next recording after the current date and time: the recorder reads /mnt/fn right after
# running this script and records to /mnt/usb/record/NAME.ts.
echo "export f=$(date +%Y%m%d_%H%M%S)" > "${ENCODE_ROOT}/mnt/fn"
