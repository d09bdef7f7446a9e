// Changes of settings made the way the pages make them, all or nothing.
//
// Under the store's lock, the settings files (every regular file under /mnt of at most 1 MiB, the
// recordings under /mnt/usb left out) are copied into a stage, a folder under /tmp/api. Each change is
// handed, in a child process whose ENCODE_ROOT is the stage, to the page's own action as the field and
// button the page sends, so the page's one check decides and the page's one writer writes. A change
// that left every file of the stage as it was, while its value differs from the one the page showed, was
// refused: its reason is what the action answered. Only when no change was refused are the files that
// differ copied from the stage into the store, each whole (a temporary file renamed over it), with the
// copies the actions keep (.swp) among them; otherwise nothing in the store is touched.
//
// A host command an action asks for in the stage (sync, amixer) is recorded in the stage's shell log
// and dropped: the files are what a change is.
#pragma once

#include "web/api/settings_table.h"

#include <string>
#include <vector>

struct StagedChange {
    const ApiSetting *setting;
    std::string form;         // the value as the page sends it
    std::string shown;        // what the page showed before (its read answer), to tell a refusal from no change
    std::string partnerValue; // the partner field's value: its new one when it changes too, else its current one
    bool withPartner = false; // the partner changes too, by this same action
};

struct StagedOutcome {
    const ApiSetting *setting;
    bool refused = false;
    std::string account; // what the page's action answered, one line per line
};

struct StagedResult {
    bool busy = false;   // another writer held the store's lock past its bound
    std::string error;   // the stage could not be made or a file not written; nothing changed
    std::vector<StagedOutcome> outcomes;
    std::vector<std::string> files; // the store's files written, as system paths ("/mnt/hls.ini")
    bool refused() const;
};

// Applies the changes in their order; with `commit` false only tells what would be refused.
StagedResult StagedApply_run(const std::vector<StagedChange> &changes, bool commit);
