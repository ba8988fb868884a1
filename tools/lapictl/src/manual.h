// lapictl's manual page: the sections that its command line cannot carry. Everything
// else on the page (description, options, commands, footer) comes from the CLI11 app.
#pragma once

#include "cli_manpage.h"

namespace lapictl {

lapi::manpage::Page ManualPage();

}  // namespace lapictl
