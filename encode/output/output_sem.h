// The lock of the RTMP connection: the writer's video sends, the AAC thread's audio sends and the
// publisher's connection changes share one connection and take turns under it. Process-private
// semaphore, initial count 1, created by the main thread before any stage thread starts.
#pragma once

// Media_EOK, or Media_EFAIL when sem_init fails.
int OutputSem_create();
void OutputSem_wait();
void OutputSem_post();
void OutputSem_destroy();
