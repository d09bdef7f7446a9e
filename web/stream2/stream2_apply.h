// The second-stream page's actions and current values, shared by its program and the JSON API (which
// hands each setting to these same actions as the field and button the page would send). One request
// per process: the actions read the form layer's entry list and print their account.
#pragma once

#include "web/values/values.h"

// Every pressed button of the form, applied in the page's fixed order.
void Stream2Cgi_apply();

// The page's fields as the page sends them.
void Stream2Cgi_values(PageValues &out);
