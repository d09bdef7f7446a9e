// Read answers of the three CGIs. One request per process; nothing here touches the store.
#include "web/values/values.h"

#include "web/form/form.h"

#include <strings.h>

#include <cstdio>
#include <exception>

bool PageValues_requested()
{
    return strcasecmp(cgiRequestMethod, "GET") == 0 && cgiFormButtonPressed("get");
}

void PageValues_serve(const std::function<void(PageValues &)> &fill)
{
    std::string body;
    try {
        PageValues v;
        fill(v);
        nlohmann::json doc = {{"values", v.values}, {"notes", v.notes}};
        body = doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception &e) {
        std::fprintf(cgiOut, "Status: 500 Internal Server Error\r\n");
        cgiHeaderContentType("text/plain");
        std::fprintf(cgiOut, "current values could not be answered: %s\n", e.what());
        return;
    }
    cgiHeaderContentType("application/json"); // never cached: the form layer's headers say so
    std::fprintf(cgiOut, "%s\n", body.c_str());
}
