// The encoder program's start-up and shutdown: switch files, options, multiplexer configuration,
// shared objects, the stage threads in their fixed order, the control loop in the main thread, then
// the release of every waiting thread, the joins, the frees and the cache flush.
#pragma once

#include "encode/output/recorder.h"

#include <pthread.h>

// Runs the whole program and returns its exit status: 0 after a clean run, 1 when a start-up step or
// a joined thread failed and for every option error, 255 when the UDP sockets cannot be created.
int Encode_main(int argc, char **argv);

// The thread functions the start-up starts, the calls that start and join them, and where the
// recorder and the UDP sockets come from. The build's own table holds every stage that exists (a
// null entry: the stage is not in this build, and a launch that needs it is refused); tests install
// their own to watch the orchestration.
struct StageThreads {
    void *(*capture)(void *);
    void *(*video)(void *);
    void *(*writer)(void *);
    void *(*audio)(void *);  // AAC
    void *(*speech)(void *); // MP3
    Recorder_Handle (*recorder)(const Recorder_Attrs *attrs); // starts the recorder's thread
    void *(*watchdog)(void *);
    void *(*control)(void *); // runs in the main thread
    int (*create)(pthread_t *thread, const pthread_attr_t *attr, void *(*fn)(void *), void *arg);
    int (*join)(pthread_t thread, void **result);
    int (*socket)(int domain, int type, int protocol); // the UDP destinations' sockets; null: socket(2)
};

// nullptr puts the build's table back.
void Startup_setStageThreads(const StageThreads *threads);
const StageThreads &Startup_buildStageThreads();
