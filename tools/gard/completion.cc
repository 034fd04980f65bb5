// The tool's command table as other programs need it, printed from the same
// CLI11 tree that parses the command line, so neither can drift from it:
// the bash completion script (the build writes it beside the tool) and the
// list of commands (the JSON schema test checks each has a schema).
#include <iostream>
#include <map>
#include <string>

#include "cli.h"

namespace gardcli {
namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out.append(out.empty() ? "" : " ").append(w);
    return out;
}

// A bash word list as a quoted array value: only names and plain words occur.
std::string quoted(const std::string& text) { return "\"" + text + "\""; }

struct Table {
    std::map<std::string, std::string> subs, opts, takes, values;
};

void collect(CLI::App* app, const std::string& path, Table& t) {
    std::vector<std::string> subs, opts, takes;
    for (CLI::App* sub : app->get_subcommands([](CLI::App* s) { return !s->get_group().empty(); })) {
        subs.push_back(sub->get_name());
        collect(sub, path + " " + sub->get_name(), t);
    }
    for (const CLI::Option* o : app->get_options([](const CLI::Option* o) { return o->nonpositional(); })) {
        if (o->get_group().empty()) continue;  // hidden
        std::vector<std::string> names;
        for (const std::string& n : o->get_lnames()) names.push_back("--" + n);
        for (const std::string& n : o->get_snames()) names.push_back("-" + n);
        opts.insert(opts.end(), names.begin(), names.end());
        if (o->get_type_size_max() <= 0) continue;
        takes.insert(takes.end(), names.begin(), names.end());
        // A value named by its choices ("0|1") completes to them.
        std::string type = o->get_type_name();
        if (type.find('|') == std::string::npos) continue;
        for (char& c : type)
            if (c == '|') c = ' ';
        for (const std::string& n : names) t.values[path + " " + n] = type;
    }
    t.subs[path] = joined(subs);
    t.opts[path] = joined(opts);
    t.takes[path] = joined(takes);
}

void printArray(const char* name, const std::map<std::string, std::string>& entries) {
    std::cout << "_gard_" << name << "=(\n";
    for (const auto& [key, words] : entries) std::cout << "  [" << quoted(key) << "]=" << quoted(words) << "\n";
    std::cout << ")\n";
}

}  // namespace

void printCompletion(CLI::App& app) {
    Table t;
    collect(&app, "gard", t);
    std::cout << "# bash completion for gard, written by `gard --bash-completion` from the tool's own\n"
                 "# command table. Commands, their options, and the values of options named by\n"
                 "# their choices; --state and other file options complete to paths.\n"
                 "declare -gA _gard_subs _gard_opts _gard_takes _gard_values\n";
    printArray("subs", t.subs);
    printArray("opts", t.opts);
    printArray("takes", t.takes);
    printArray("values", t.values);
    std::cout << R"(_gard() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} path=gard w i
  COMPREPLY=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    [[ $w == -- ]] && return 0
    if [[ " ${_gard_takes[$path]} " == *" $w "* ]]; then
      ((i++))
    elif [[ $w != -* && " ${_gard_subs[$path]} " == *" $w "* ]]; then
      path="$path $w"
    fi
  done
  if ((COMP_CWORD > 1)) && [[ " ${_gard_takes[$path]} " == *" $prev "* ]]; then
    if [[ -n ${_gard_values["$path $prev"]+set} ]]; then
      mapfile -t COMPREPLY < <(compgen -W "${_gard_values["$path $prev"]}" -- "$cur")
    else
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
  elif [[ $cur == -* || -z ${_gard_subs[$path]} ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${_gard_opts[$path]}" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -W "${_gard_subs[$path]}" -- "$cur")
  fi
}
complete -F _gard gard
)";
}

void printCommands(CLI::App& app, const std::string& path) {
    const auto subs = app.get_subcommands([](CLI::App* s) { return !s->get_group().empty(); });
    if (subs.empty() && !path.empty()) std::cout << path << "\n";
    for (CLI::App* sub : subs) printCommands(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name());
}

}  // namespace gardcli
