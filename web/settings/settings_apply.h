// The main settings page's actions, shared by the settings program (its form) and the JSON API (which
// hands each setting to these same actions as the one form field and button the page would send).
// One request per process: the actions read the form layer's entry list and print their account.
#pragma once

// Every pressed button of the form, applied in the page's fixed order. False when a store file could
// not be created, which ends the request before anything later (a reboot above all) may run.
bool SettingsCgi_apply();
