// The main settings page's current values: every field of the page, read with the readers the
// settings CGI writes and reports with, answered as the text the field would send (a radio's choice
// text, a select's option value, a typed text).
#pragma once

#include "web/values/values.h"

void Current_settings(PageValues &out);
