// Current values of a page: the record a program's readers fill. Apart from the answer (answer.cpp),
// so that a library filling values does not pull the form layer in.
#include "web/values/values.h"

void PageValues::set(const std::string &field, const std::string &value)
{
    values[field] = value;
    notes.erase(field);
}

void PageValues::unknown(const std::string &field, const std::string &note)
{
    values[field] = nullptr;
    notes[field] = note.substr(0, note.find('\n'));
}
