// The main thread's control loop. It owns nothing shared: the engine handle is its own, the
// rendezvous points and the pause gate belong to the main thread's start-up. The quit flag is read
// through SharedStatus, so any thread (or SIGINT/SIGTERM) ends the loop within one poll period.
#include "encode/control/control_loop.h"

#include "encode/core/shared_status.h"
#include "encode/codec/engine.h"
#include "encode/media/wait.h"

#include <chrono>
#include <cstdio>
#include <thread>

void *ctrlThrFxn(void *arg)
{
    ControlThreadParams *envp = static_cast<ControlThreadParams *>(arg);
    void *status = THREAD_SUCCESS;

    Engine_Handle hEngine = Engine_open(envp->engineName, nullptr, nullptr);
    if (hEngine == nullptr) {
        std::fprintf(stderr, "Error: Failed to open codec engine %s\n", envp->engineName);
        status = THREAD_FAILURE;
        SharedStatus_setQuit();
    } else {
        Rendezvous_meet(envp->hRendezvousInit);

        if (envp->keyboard != 0) {
            std::printf("Command [ 'help' for usage ] > ");
            std::fflush(stdout);
        }

        while (Media_waitMs(nullptr, CONTROL_POLL_MS)) {
        }
    }

    // No stage thread may stay blocked in the start rendezvous or the pause gate while the others
    // meet for clean-up.
    Rendezvous_force(envp->hRendezvousInit);
    Pause_off(envp->hPauseProcess);
    Rendezvous_meet(envp->hRendezvousCleanup);

    Engine_close(hEngine);
    return status;
}
