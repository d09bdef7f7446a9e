// TCP stream slots: fixed ports on which one client per slot is accepted and then gets every unit its
// owner produces, the moment it is produced. One mechanism serves every instance; a table says what
// differs (ports, the names printed). The main thread starts a set per table when it builds the output
// list; a set is the output the writer (video tables) or the audio thread (its table) hands units to.
//
// Threads: one server thread per slot owns the listening side and hands a client over by storing the
// socket and raising the slot's connected flag; the feeding thread (writer or audio) sends to connected
// slots and, when a send fails, closes the client and lowers the flag, which gives the slot back to its
// server thread. The flag is the only hand-over, an atomic word.
//
// Nothing here holds the owner up: sends never wait. A client is judged by how far behind live it is
// (client_lag.h): one more than 2 s behind, or whose socket is full, skips whole units (a unit it
// began is finished first, so its stream never tears); one that has taken nothing for 3 s is dropped.
// Its send buffer is bounded to a fraction of a second of the stream. Server threads wait in bounded
// polls, so a stop ends them within a fraction of a second; a set that is never stopped lives until
// the process ends. A client that connects to a busy slot waits in the listen backlog and is taken
// when the slot is freed.
#pragma once

#include "encode/media/frame_times.h"
#include "encode/output/client_lag.h"
#include "encode/output/output.h"

#include <pthread.h>

#include <cstdint>

// One slot of a table.
struct StreamSlotEntry {
    int fixedPort;          // the appliance's port, moved by ENCODE_PORT_OFFSET when listening
    const char *threadName; // printed each time the slot starts listening for a client
    const char *closeLine;  // printed when a send to the slot's client fails
};

// The slots that carry one payload, slot 1 first.
struct StreamSlotTable {
    const StreamSlotEntry *slots;
    int count;
    const char *startError; // printed when a slot's server thread cannot be started
};

// The writer's tables: main stream on 8888..8884, second stream on 7777.
extern const StreamSlotTable StreamSlots_videoMain;
extern const StreamSlotTable StreamSlots_videoSecond;
// The audio thread's table (AAC or MP3, whichever runs): 9999..9995.
extern const StreamSlotTable StreamSlots_audio;

// How long a client may take nothing of what it was sent before it is dropped.
inline constexpr int STREAM_SLOT_SEND_TIMEOUT_MS = CLIENT_LAG_STALL_MS;

typedef struct StreamSlots_Object *StreamSlots_Handle;

using StreamSlots_SocketFunction = int (*)(int domain, int type, int protocol);
using StreamSlots_ThreadFunction = int (*)(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                                           void *arg);

// What a test may put in place of the system: the functions that make sockets and threads (null:
// socket(2), pthread_create), so that it can see those failures.
struct StreamSlots_Seams {
    StreamSlots_SocketFunction socket;
    StreamSlots_ThreadFunction thread;
};

// Starts the server thread of every slot of `table`, slot 1 first, listening on the address of
// ENCODE_BIND_ADDRESS (all addresses without it). `tagged` (the TCP framing switch) puts the stream
// tag before every unit. Null when a thread cannot be started: the table's start error is printed
// and the threads already started are ended again.
StreamSlots_Handle StreamSlots_start(const StreamSlotTable *table, bool tagged,
                                     const StreamSlots_Seams *seams = nullptr);

// Feeding thread (what the output's video() and audio() do), once per unit: the unit (stamped `time`) to every connected slot in slot order (the
// rest of a unit a client began earlier first, then this one in one send call), never a wait. A
// client whose send fails, or that has taken nothing for STREAM_SLOT_SEND_TIMEOUT_MS, is printed with
// its slot's close line, closed and its slot freed. A client's lag counts from the moment of this
// call, not from `time`: the time of day can be set while the box runs, and the capture-to-send
// delay is not the client's. Returns how many clients got the whole unit.
int StreamSlots_send(StreamSlots_Handle h, const uint8_t *unit, int bytes, FrameTime time);

struct StreamSlotsStats {
    uint64_t dropped; // clients let go because they took nothing for STREAM_SLOT_SEND_TIMEOUT_MS
    uint64_t skipped; // units a client missed because it was behind
};
// Any thread.
StreamSlotsStats StreamSlots_stats(StreamSlots_Handle h);

// True while slot `index` (0 = slot 1) has a client.
bool StreamSlots_connected(StreamSlots_Handle h, int index);

// The set as an output of the list: it takes whatever unit it is handed; each slot is one object
// of its report.
Output *StreamSlots_output(StreamSlots_Handle h);

// Ends the server threads (within about a tenth of a second), closes the clients and frees the set.
// Never while a unit is being sent. Null is ignored.
void StreamSlots_stop(StreamSlots_Handle h);

