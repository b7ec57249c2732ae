// One table of a program's options, from which its command line is read, its --help is
// written, its configuration file is read and its shell completion's words are listed.
// An option is found by its whole name, never by a prefix, so the table's order says
// nothing about which option a word is.
#pragma once

#include "cli/CommandLine.h"

#include <QString>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace trm::cli {

enum class Takes {
    Nothing,       // a switch: --json
    Value,         // --records=FILE or --records FILE
    OptionalValue, // --simulate or --simulate=SCENARIO (only with '=')
};

// `Target` is what reading the options fills in.
template <class Target> struct OptionEntry {
    const char* name;  // "--records"
    Takes takes;       // whether it takes a value
    const char* value; // how --help names the value ("FILE|URI"); null for a switch
    const char* help;  // its lines in --help, '\n' between them
    // May be given more than once on the command line (or in the configuration): each
    // adds to the last. Any other option given twice is refused.
    bool repeatable;
    // A setting of the configuration file, named as the option without its "--".
    bool inConfig;
    // Takes the value ("" for a switch, or an optional value not given). False, with
    // the reason in `error`, for a value it does not take.
    std::function<bool(Target&, const std::string& value, std::string& error)> apply;
    const char* alias = nullptr; // a short form, such as "-v"
    const char* section = "";    // --help's heading above it, when it begins one
};

// A switch that only sets something in the target.
template <class Target, class F>
OptionEntry<Target> Switch(const char* name, const char* help, bool inConfig, F set,
                           const char* alias = nullptr) {
    return {name,
            Takes::Nothing,
            nullptr,
            help,
            false,
            inConfig,
            [set](Target& t, const std::string&, std::string&) {
                set(t);
                return true;
            },
            alias};
}

// An option whose value is stored as it is given.
template <class Target, class F>
OptionEntry<Target> Stored(const char* name, const char* value, const char* help, bool inConfig,
                           F store, const char* section = "") {
    return {name,
            Takes::Value,
            value,
            help,
            false,
            inConfig,
            [store](Target& t, const std::string& v, std::string&) {
                store(t, v);
                return true;
            },
            nullptr,
            section};
}

// An option whose value is a whole number from `low` to `high`, `what` it counts (for
// the error), stored into the int that `field` gives of the target.
template <class Target, class F>
OptionEntry<Target> Number(const char* name, const char* value, const char* help, bool inConfig,
                           int low, int high, const char* what, F field) {
    return {name,
            Takes::Value,
            value,
            help,
            false,
            inConfig,
            [=](Target& t, const std::string& v, std::string& error) {
                if (!IntegerIn(v, low, high, field(t))) {
                    error = std::string(name) + " takes a number of " + what + " (" +
                            std::to_string(low) + " to " + std::to_string(high) + ")";
                    return false;
                }
                return true;
            }};
}

template <class Target> class OptionTable {
public:
    using Entry = OptionEntry<Target>;

    explicit OptionTable(std::vector<Entry> entries) : entries_(std::move(entries)) {}

    const std::vector<Entry>& entries() const { return entries_; }

    // The option named `name` (or its alias); null for none.
    const Entry* find(const std::string& name) const {
        for (const Entry& s : entries_) {
            if (name == s.name || (s.alias != nullptr && name == s.alias)) {
                return &s;
            }
        }
        return nullptr;
    }

    // Reads argv[1..] into `t`. False, with the reason in `error`.
    bool parse(int argc, char** argv, Target& t, std::string& error) const {
        std::set<const Entry*> given;
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            const auto eq = arg.find('=');
            const bool hasValue = arg.rfind("--", 0) == 0 && eq != std::string::npos;
            const std::string name = hasValue ? arg.substr(0, eq) : arg;
            const Entry* s = find(name);
            if (s == nullptr) {
                error = "unknown option '" + arg + "'";
                return false;
            }
            std::string value;
            if (hasValue) {
                value = arg.substr(eq + 1);
                if (s->takes == Takes::Nothing) {
                    error = std::string(s->name) + " takes no value";
                    return false;
                }
            } else if (s->takes == Takes::Value) {
                if (i + 1 >= argc) {
                    error = std::string(s->name) + " takes " + s->value;
                    return false;
                }
                value = argv[++i];
            }
            if (s->takes == Takes::Value && value.empty()) {
                error = std::string(s->name) + " takes " + s->value;
                return false;
            }
            if (!given.insert(s).second && !s->repeatable) {
                error = std::string(s->name) + " is given twice";
                return false;
            }
            if (!s->apply(t, value, error)) {
                return false;
            }
        }
        return true;
    }

    // One configuration line's setting: `key` (an option's name without "--") and its
    // value (`hasValue` false for a switch named alone). False, with the reason.
    bool applySetting(const QString& key, bool hasValue, const QString& value, Target& t,
                      std::string& error, std::set<const Entry*>& given) const {
        const Entry* s = find("--" + key.toStdString());
        if (s == nullptr || !s->inConfig) {
            error = "'" + key.toStdString() + "' is not a setting of the configuration";
            return false;
        }
        if (hasValue && value.isEmpty()) {
            error = "'" + key.toStdString() + "' has no value";
            return false;
        }
        if (hasValue && s->takes == Takes::Nothing) {
            error = "'" + key.toStdString() + "' is a switch: its name alone, with no value";
            return false;
        }
        if (!hasValue && s->takes == Takes::Value) {
            error = "'" + key.toStdString() + "' has no value";
            return false;
        }
        if (!given.insert(s).second && !s->repeatable) {
            error = "'" + key.toStdString() + "' is given twice";
            return false;
        }
        return s->apply(t, value.toStdString(), error);
    }

    // The options part of --help: a line per option ("  --records=FILE|URI  help"),
    // its help's further lines indented beneath, a heading where a section begins.
    std::string help() const {
        constexpr std::size_t kHelpColumn = 24;
        std::string out;
        for (const Entry& s : entries_) {
            if (*s.section != '\0') {
                out += std::string("\n") + s.section + "\n";
            }
            std::string left = std::string("  ") + s.name;
            if (s.alias != nullptr) {
                left = std::string("  ") + s.alias + ", " + s.name;
            }
            if (s.takes == Takes::Value) {
                left += std::string("=") + s.value;
            } else if (s.takes == Takes::OptionalValue) {
                left += std::string("[=") + s.value + "]";
            }
            std::string help = s.help;
            std::size_t at = 0;
            bool first = true;
            while (at <= help.size()) {
                const auto nl = help.find('\n', at);
                const std::string line =
                    help.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
                if (first) {
                    out += left.size() + 2 <= kHelpColumn
                               ? left + std::string(kHelpColumn - left.size(), ' ') + line
                               : left + "  " + line;
                    first = false;
                } else {
                    out += std::string(kHelpColumn, ' ') + line;
                }
                out += "\n";
                if (nl == std::string::npos) {
                    break;
                }
                at = nl + 1;
            }
        }
        return out;
    }

    // The words a shell completes: "--name=" for an option with a value, "--name" for a
    // switch, both for an optional value.
    std::vector<std::string> completionWords() const {
        std::vector<std::string> words;
        for (const Entry& s : entries_) {
            if (s.takes != Takes::Value) {
                words.push_back(s.name);
            }
            if (s.takes != Takes::Nothing) {
                words.push_back(std::string(s.name) + "=");
            }
        }
        return words;
    }

    // The configuration's settings' names.
    std::vector<std::string> configKeys() const {
        std::vector<std::string> keys;
        for (const Entry& s : entries_) {
            if (s.inConfig) {
                keys.push_back(std::string(s.name).substr(2));
            }
        }
        return keys;
    }

private:
    std::vector<Entry> entries_;
};

} // namespace trm::cli
