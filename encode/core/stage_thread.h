// What a stage thread function returns. The main thread joins the stages and turns a failure into
// exit status 1.
#pragma once

#define THREAD_SUCCESS ((void *)0)
#define THREAD_FAILURE ((void *)-1)
