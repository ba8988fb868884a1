// lapid's manual page: the sections that its command line cannot carry. Everything
// else on the page (description, options) comes from the CLI11 app.
#pragma once

#include <string>

#include "cli_manpage.h"

namespace lapid {

// What main.cpp knows and the page names: its exit codes and the defaults of --db and
// --control.
struct ManualFacts {
    int exitStartup = 1;
    int exitUsage = 2;
    std::string db;
    std::string control;
};

lapi::manpage::Page ManualPage(const ManualFacts &facts);

}  // namespace lapid
