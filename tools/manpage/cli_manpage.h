// Manual pages written from a program's own CLI11 command line, so that --help and the
// page cannot drift apart: the name, description and footer of the app, every visible
// option (its names, value type, accepted values, default and help text), the
// positional arguments and every subcommand, recursively. Options and subcommands in
// the group "" (hidden from --help) stay out of the page too.
//
// What --help cannot carry (exit status, files, environment, examples, see also) comes
// with the Page, kept by each program beside its command line.
#pragma once

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace lapi::manpage {

// One paragraph of a section: with a tag, a tagged paragraph (the tag in bold, the text
// indented below it); without, a plain paragraph.
struct Entry {
    std::string tag;
    std::string text;
};

struct Section {
    std::string title;  // "EXIT STATUS", "FILES", ...
    std::vector<Entry> entries;
};

struct Page {
    int section = 1;                   // 1: user commands, 8: system administration
    std::string source;                // the package and its version, "lapi 1.0.0"
    std::vector<std::string> preface;  // DESCRIPTION paragraphs after the app's description
    std::vector<Section> sections;     // after OPTIONS and COMMANDS, in this order
    std::vector<std::string> seeAlso;  // "lapid(8)"
};

// Writes the page of `app` in man(7) roff.
void Write(std::ostream &out, const CLI::App &app, const Page &page);

// Adds the hidden flag --manpage: it writes the page on standard output and ends the
// parse as --version does (CLI::Success, exit status 0). `app` must outlive its parse.
void AddFlag(CLI::App &app, Page page);

// `text` as roff input text: backslashes and hyphen-minus signs escaped. A line that
// would begin with a control character ('.' or '\'') is guarded by Line().
std::string Escape(std::string_view text);

}  // namespace lapi::manpage
