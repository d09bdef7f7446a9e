// Rendezvous: an N-party meeting point. Each party's Rendezvous_meet blocks until the count-th party
// arrives; then all are released and the point counts again from the start, ready for reuse. A count
// of -1 waits until forced. Forcing releases every waiter and makes every later meet return at once
// until the point is reset. Shared between threads; guarded by its own mutex.
#pragma once

typedef struct Rendezvous_Object *Rendezvous_Handle;

typedef struct Rendezvous_Attrs {
    int reserved;
} Rendezvous_Attrs;

extern const Rendezvous_Attrs Rendezvous_Attrs_DEFAULT;

// count >= 0, or -1. Null on bad count, null attrs or allocation failure (message at error level).
Rendezvous_Handle Rendezvous_create(int count, const Rendezvous_Attrs *attrs);
// Null is accepted. 0.
int Rendezvous_delete(Rendezvous_Handle hRv);

void Rendezvous_meet(Rendezvous_Handle hRv);
// Releases every waiter; later meets return at once until reset.
void Rendezvous_force(Rendezvous_Handle hRv);
// Counting starts again and the force is lifted. Parties already waiting keep waiting.
void Rendezvous_reset(Rendezvous_Handle hRv);
// Releases every waiter, then counting starts again, not forced.
void Rendezvous_forceAndReset(Rendezvous_Handle hRv);
