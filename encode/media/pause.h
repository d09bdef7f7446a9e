// Pause: a gate the processing threads pass through once per frame. While it is on, Pause_test
// blocks; switching it off releases every thread waiting at that moment. Shared between threads;
// guarded by its own mutex.
#pragma once

typedef struct Pause_Object *Pause_Handle;

typedef struct Pause_Attrs {
    int reserved;
} Pause_Attrs;

extern const Pause_Attrs Pause_Attrs_DEFAULT;

// Starts off. attrs may be null. Null on allocation failure.
Pause_Handle Pause_create(const Pause_Attrs *attrs);
// Null is accepted. 0.
int Pause_delete(Pause_Handle hPause);

// Returns at once when off; when on, waits until the gate is switched off.
void Pause_test(Pause_Handle hPause);
void Pause_on(Pause_Handle hPause);
void Pause_off(Pause_Handle hPause);
