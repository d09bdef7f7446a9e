// The RTMP connection's semaphore. Process-wide: the publisher's connection is one per process and
// reaches it without a handle.
#include "encode/output/output_sem.h"

#include "encode/media/media.h"

#include <semaphore.h>

#include <cerrno>

namespace {

sem_t outputSem;
bool outputSemCreated = false;

} // namespace

int OutputSem_create()
{
    if (outputSemCreated) {
        return Media_EOK;
    }
    if (::sem_init(&outputSem, 0, 1) != 0) {
        return Media_EFAIL;
    }
    outputSemCreated = true;
    return Media_EOK;
}

void OutputSem_wait()
{
    while (::sem_wait(&outputSem) != 0 && errno == EINTR) {
    }
}

void OutputSem_post()
{
    ::sem_post(&outputSem);
}

void OutputSem_destroy()
{
    if (outputSemCreated) {
        ::sem_destroy(&outputSem);
        outputSemCreated = false;
    }
}
