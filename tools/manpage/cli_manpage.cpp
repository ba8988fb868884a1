// Manual pages from CLI11 apps (see cli_manpage.h). The page uses the man(7) macros
// only: .TH, .SH, .SS, .PP, .TP, .RS/.RE, .nf/.fi, .B, .BR and the font escapes.
#include "cli_manpage.h"

#include <cctype>
#include <iostream>
#include <utility>

namespace lapi::manpage {

namespace {

std::string Bold(std::string_view text) {
    return "\\fB" + Escape(text) + "\\fR";
}

std::string Italic(std::string_view text) {
    return "\\fI" + Escape(text) + "\\fR";
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        text.remove_suffix(1);
    }
    return text;
}

// A macro argument in double quotes.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : Escape(text)) {
        if (c == '"') {
            out += "\\(dq";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Writes roff text (already escaped) line by line: leading blanks dropped, empty lines
// left out (a blank input line would start a new paragraph), and a line that begins
// with a control character guarded by "\&".
void Lines(std::ostream &out, std::string_view roff) {
    while (!roff.empty()) {
        const std::size_t end = roff.find('\n');
        const std::string_view line = Trim(roff.substr(0, end));
        roff = end == std::string_view::npos ? std::string_view() : roff.substr(end + 1);
        if (line.empty()) {
            continue;
        }
        if (line.front() == '.' || line.front() == '\'') {
            out << "\\&";
        }
        out << line << '\n';
    }
}

void Paragraph(std::ostream &out, std::string_view text) {
    out << ".PP\n";
    Lines(out, Escape(text));
}

// A text block as --help shows it (a footer): lines that begin with blanks (examples)
// keep their line breaks in an indented block, other lines are paragraphs.
void TextBlock(std::ostream &out, std::string_view text) {
    bool inBlock = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const bool indented = !line.empty() && std::isspace(static_cast<unsigned char>(line[0]));
        if (indented && !inBlock) {
            out << ".RS 4\n.nf\n";
        } else if (!indented && inBlock) {
            out << ".fi\n.RE\n";
        }
        inBlock = indented;
        if (indented) {
            Lines(out, Escape(line));
        } else if (!Trim(line).empty()) {
            Paragraph(out, line);
        }
    }
    if (inBlock) {
        out << ".fi\n.RE\n";
    }
}

// CLI11 reports an option's value type and the descriptions of its validators as one
// name, "FLOAT:FLOAT in [0 - 3600]": the type, then what the validators accept.
std::pair<std::string, std::string> TypeAndValues(const CLI::Option &opt) {
    const std::string full = opt.get_type_name();
    const std::size_t colon = full.find(':');
    if (colon == std::string::npos) {
        return {full, ""};
    }
    std::string values = full.substr(colon + 1);
    for (std::size_t at = values.find(':'); at != std::string::npos; at = values.find(':', at)) {
        values.replace(at, 1, ", ");
    }
    return {full.substr(0, colon), values};
}

bool IsVisible(const CLI::Option *opt) {
    return !opt->get_group().empty();
}

bool IsVisible(const CLI::App *sub) {
    return !sub->get_group().empty() && !sub->get_name().empty() && !sub->get_disabled();
}

// The options of `app` that its page lists: visible, and (below the top) without the
// help flag that every subcommand repeats.
std::vector<const CLI::Option *> OptionsOf(const CLI::App &app, bool positional) {
    const bool top = app.get_parent() == nullptr;
    return app.get_options([&](const CLI::Option *opt) {
        return IsVisible(opt) && opt->get_positional() == positional &&
               (top || (opt != app.get_help_ptr() && opt != app.get_help_all_ptr()));
    });
}

std::vector<const CLI::App *> SubcommandsOf(const CLI::App &app) {
    return app.get_subcommands([](const CLI::App *sub) { return IsVisible(sub); });
}

// A positional argument as the synopsis shows it: "FILEID", "ENTRY..." or
// "[REMOVETYPE]". A name of several words spells out its values itself.
std::string PositionalUsage(const CLI::Option &opt) {
    const std::string &name = opt.get_name();
    std::string usage = Italic(name);
    if (opt.get_items_expected_max() > 1 && name.find(' ') == std::string::npos) {
        usage += "...";
    }
    return opt.get_required() ? usage : "[" + usage + "]";
}

// What follows a command's name in a synopsis: "[OPTIONS]", the positional arguments,
// "COMMAND".
std::string UsageTail(const CLI::App &app) {
    std::string tail;
    if (!OptionsOf(app, false).empty()) {
        tail += " [" + Italic("OPTIONS") + "]";
    }
    for (const CLI::Option *opt : OptionsOf(app, true)) {
        tail += " " + PositionalUsage(*opt);
    }
    if (!SubcommandsOf(app).empty()) {
        const std::string command = Italic("COMMAND");
        tail += " " + (app.get_require_subcommand_min() > 0 ? command : "[" + command + "]");
    }
    return tail;
}

// One option (or positional argument) as a tagged paragraph. A positional argument
// that says nothing beyond its name is left out.
void OptionEntry(std::ostream &out, const CLI::Option &opt) {
    const auto [type, values] = TypeAndValues(opt);
    std::string tag;
    if (opt.get_positional()) {
        tag = Italic(opt.get_name());
    } else {
        for (const std::string &name : opt.get_snames()) {
            tag += (tag.empty() ? "" : ", ") + Bold("-" + name);
        }
        for (const std::string &name : opt.get_lnames()) {
            tag += (tag.empty() ? "" : ", ") + Bold("--" + name);
        }
        if (opt.get_type_size() != 0 && !type.empty()) {
            tag += " " + Italic(type);
        }
    }
    std::string text = Escape(Trim(opt.get_description()));
    const auto sentence = [&text](const std::string &more) {
        if (!text.empty() && std::string_view(".!?:").find(text.back()) == std::string_view::npos) {
            text += '.';
        }
        text += (text.empty() ? "" : " ") + more;
    };
    if (!values.empty()) {
        // A value set, "{a,b,c}", may break after each comma.
        std::string set;
        for (const char c : Escape(values)) {
            set += c;
            if (c == ',') {
                set += "\\:";
            }
        }
        sentence("Value: " + set + ".");
    }
    if (!opt.get_default_str().empty()) {
        sentence("Default: " + Italic(opt.get_default_str()) + ".");
    }
    if (!opt.get_envname().empty()) {
        sentence("Environment: " + Bold(opt.get_envname()) + ".");
    }
    if (opt.get_positional() && text.empty()) {
        return;
    }
    out << ".TP\n";
    Lines(out, tag);
    Lines(out, text);
}

// Each subcommand below `app` as a tagged paragraph (its full command line as the tag),
// its own options and arguments indented under it, then its subcommands.
void Commands(std::ostream &out, const CLI::App &app, const std::string &path) {
    for (const CLI::App *sub : SubcommandsOf(app)) {
        const std::string words = path.empty() ? sub->get_name() : path + " " + sub->get_name();
        out << ".TP\n";
        Lines(out, Bold(words) + UsageTail(*sub));
        Lines(out, Escape(Trim(sub->get_description())));
        std::vector<const CLI::Option *> listed = OptionsOf(*sub, true);
        for (const CLI::Option *opt : OptionsOf(*sub, false)) {
            listed.push_back(opt);
        }
        if (!listed.empty()) {
            out << ".RS\n";
            for (const CLI::Option *opt : listed) {
                OptionEntry(out, *opt);
            }
            out << ".RE\n";
        }
        if (sub->get_footer() != app.get_footer() && !sub->get_footer().empty()) {
            out << ".RS\n";
            TextBlock(out, sub->get_footer());
            out << ".RE\n";
        }
        Commands(out, *sub, words);
    }
}

// The program's name: CLI11 names the top app after argv[0] when the program gave it
// none.
std::string NameOf(const CLI::App &app) {
    const std::string &name = app.get_name();
    return name.substr(name.rfind('/') + 1);
}

// The NAME line's summary: the description's first line without a leading "name - "
// or "name: " and without a final full stop.
std::string Summary(const CLI::App &app) {
    const std::string description = app.get_description();
    std::string_view text = Trim(description);
    text = text.substr(0, text.find('\n'));
    const std::string name = NameOf(app);
    if (text.substr(0, name.size()) == name) {
        const std::string_view rest = text.substr(name.size());
        for (const std::string_view sep : {" - ", ": ", " -- "}) {
            if (rest.substr(0, sep.size()) == sep) {
                text = rest.substr(sep.size());
                break;
            }
        }
    }
    if (!text.empty() && text.back() == '.') {
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::string Upper(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

std::string Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    return out;
}

void Write(std::ostream &out, const CLI::App &app, const Page &page) {
    const std::string name = NameOf(app);
    out << ".TH " << Quoted(Upper(name)) << ' ' << page.section << " \"\" " << Quoted(page.source)
        << ' ' << Quoted(page.section == 8 ? "System Administration" : "User Commands") << '\n';

    out << ".SH NAME\n";
    Lines(out, Escape(name) + " \\- " + Escape(Summary(app)));

    out << ".SH SYNOPSIS\n";
    Lines(out, Bold(name) + UsageTail(app));

    out << ".SH DESCRIPTION\n";
    Lines(out, Escape(Trim(app.get_description())));
    for (const std::string &text : page.preface) {
        Paragraph(out, text);
    }
    TextBlock(out, app.get_footer());

    const std::vector<const CLI::Option *> positionals = OptionsOf(app, true);
    const std::vector<const CLI::Option *> options = OptionsOf(app, false);
    if (!options.empty() || !positionals.empty()) {
        out << ".SH OPTIONS\n";
        for (const CLI::Option *opt : positionals) {
            OptionEntry(out, *opt);
        }
        std::vector<std::string> groups = app.get_groups();
        std::erase(groups, std::string());  // hidden options
        for (const std::string &group : groups) {
            if (groups.size() > 1) {
                out << ".SS " << Quoted(group) << '\n';
            }
            for (const CLI::Option *opt : options) {
                if (opt->get_group() == group) {
                    OptionEntry(out, *opt);
                }
            }
        }
    }

    if (!SubcommandsOf(app).empty()) {
        out << ".SH COMMANDS\n";
        Commands(out, app, "");
    }

    for (const Section &section : page.sections) {
        out << ".SH " << Quoted(Upper(section.title)) << '\n';
        for (const Entry &entry : section.entries) {
            if (entry.tag.empty()) {
                Paragraph(out, entry.text);
            } else {
                out << ".TP\n";
                Lines(out, Bold(entry.tag));
                Lines(out, Escape(entry.text));
            }
        }
    }

    if (!page.seeAlso.empty()) {
        out << ".SH \"SEE ALSO\"\n";
        for (std::size_t i = 0; i < page.seeAlso.size(); ++i) {
            // "lapid(8)" as ".BR lapid (8)", with a comma after all but the last.
            const std::string &ref = page.seeAlso[i];
            const std::size_t paren = ref.find('(');
            out << ".BR " << Escape(ref.substr(0, paren)) << ' '
                << (paren == std::string::npos ? "" : Escape(ref.substr(paren)))
                << (i + 1 < page.seeAlso.size() ? ",\n" : "\n");
        }
    }
}

void AddFlag(CLI::App &app, Page page) {
    const CLI::App *self = &app;
    app.add_flag_callback(
           "--manpage",
           [self, page = std::move(page)] {
               Write(std::cout, *self, page);
               std::cout.flush();
               throw CLI::Success();
           },
           "Write the manual page (roff) on standard output")
        ->group("");
}

}  // namespace lapi::manpage
