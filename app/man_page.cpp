#include "app/man_page.h"

#include <fmt/format.h>

#include <string_view>
#include <vector>

namespace {

// The mesh files assimp reads that users bring most, and our scene files.
constexpr const char* kMeshAndSceneExtensions = "obj|ply|stl|gltf|glb|fbx|3ds|dae|blend|x3d|off|vlds";

// Text as roff reads it literally: backslashes escaped, hyphens as minus signs (so option names
// can be searched and copied), and a line that starts with a control character defused.
std::string Roff(std::string_view text) {
  std::string out;
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

// Options a user sees: help's own flag and hidden options (no group) left out.
std::vector<const CLI::Option*> Visible(const CLI::App& app, bool positional) {
  std::vector<const CLI::Option*> out;
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_group().empty()) continue;
    if (option == app.get_help_ptr() || option == app.get_help_all_ptr()) continue;
    if (option->nonpositional() == positional) continue;
    out.push_back(option);
  }
  return out;
}

std::vector<CLI::App*> Commands(CLI::App& app) {
  return app.get_subcommands([](CLI::App* sub) { return !sub->get_group().empty(); });
}

// "-o, --output" for the option's names.
std::string Names(const CLI::Option& option) {
  std::string names;
  for (const std::string& s : option.get_snames()) names += (names.empty() ? "-" : ", -") + s;
  for (const std::string& l : option.get_lnames()) names += (names.empty() ? "--" : ", --") + l;
  return names;
}

// What an option's value looks like: its type name as the help shows it ("TEXT:{x,y,z}",
// "INT"), nothing for a flag.
std::string Value(const CLI::Option& option) {
  if (option.get_type_size_max() == 0) return {};
  std::string type = option.get_type_name();
  if (option.get_items_expected_max() > 1) type += " ...";
  return type;
}

// The values an option takes when it takes one of a list: the {a,b,c} of its type name.
std::vector<std::string> Choices(const CLI::Option& option) {
  const std::string type = option.get_type_name();
  const std::size_t open = type.find('{'), close = type.rfind('}');
  std::vector<std::string> out;
  if (open == std::string::npos || close == std::string::npos || close < open) return out;
  std::string item;
  for (std::size_t i = open + 1; i < close; ++i) {
    if (type[i] == ',') {
      out.push_back(item);
      item.clear();
    } else {
      item += type[i];
    }
  }
  if (!item.empty()) out.push_back(item);
  return out;
}

void OptionEntries(std::string& page, const std::vector<const CLI::Option*>& options) {
  for (const CLI::Option* option : options) {
    page += ".TP\n\\fB" + Roff(Names(*option)) + "\\fR";
    const std::string value = Value(*option);
    if (!value.empty()) page += " \\fI" + Roff(value) + "\\fR";
    page += "\n" + Roff(option->get_description()) + "\n";
  }
}

}  // namespace

std::string ManPage(CLI::App& app, const std::string& version) {
  std::string page;
  page += ".TH VELDMAP 1 \"\" \"veldmap " + Roff(version) + "\" \"User Commands\"\n";
  page += ".SH NAME\nveldmap \\- " + Roff(app.get_description().substr(app.get_description().find(": ") + 2)) + "\n";
  page += ".SH SYNOPSIS\n.B veldmap\n[\\fIoptions\\fR] \\fIcommand\\fR [\\fIarguments\\fR] [\\fIoptions\\fR]\n";
  page += ".SH DESCRIPTION\n";
  page += Roff(
      "veldmap is the command-line host of the Veldmap texture map: it loads the plug-in module, reads mesh files "
      "and scenes, and renders the height of a mesh seen from above into images, bakes meshes into scenes, and "
      "splits and joins bakes too large for one machine. Run a command with --help for the same list as below.\n");
  page += ".SH OPTIONS\n";
  OptionEntries(page, Visible(app, false));
  page += ".SH COMMANDS\n";
  for (CLI::App* command : Commands(app)) {
    std::string synopsis = "veldmap " + command->get_name();
    for (const CLI::Option* positional : Visible(*command, true)) {
      synopsis += " " + positional->get_name() + (positional->get_items_expected_max() > 1 ? " ..." : "");
    }
    page += ".SS \"" + Roff(synopsis) + "\"\n" + Roff(command->get_description()) + "\n";
    for (const CLI::Option* positional : Visible(*command, true)) {
      page += ".TP\n\\fI" + Roff(positional->get_name()) + "\\fR\n" + Roff(positional->get_description()) + "\n";
    }
    OptionEntries(page, Visible(*command, false));
  }
  page +=
      ".SH EXIT STATUS\n.TP\n0\ndone\n.TP\n1\nbad input: a file that is missing, unreadable, damaged or of no "
      "use\n.TP\n2\na usage error: an option out of range or one that cannot do what it asks\n";
  page += ".SH ENVIRONMENT\n.TP\n.B VELDMAP_PLUGIN_DIR\n" +
          Roff(
              "the folder of plug-in modules, when --plugins is not given (default: plugins beside the build's "
              "executable folder, or lib/veldmap/plugins of the prefix it is installed in)") +
          "\n";
  page += ".SH SEE ALSO\n" + Roff("veldmap-dask(1) for bakes on a Dask cluster; the README and docs/ of the project.") +
          "\n";
  return page;
}

std::string BashCompletion(CLI::App& app) {
  std::string commands, globals, cases, valueCases;
  for (const CLI::Option* option : Visible(app, false)) {
    for (const std::string& l : option->get_lnames()) globals += " --" + l;
    for (const std::string& s : option->get_snames()) globals += " -" + s;
  }
  // Options taking a value complete that value: one of a list, or a file name.
  std::vector<std::string> seen;
  const auto addValues = [&](const CLI::Option& option) {
    if (option.get_type_size_max() == 0) return;
    const std::vector<std::string> choices = Choices(option);
    std::string names;
    for (const std::string& l : option.get_lnames()) names += (names.empty() ? "--" : "|--") + l;
    for (const std::string& s : option.get_snames()) names += (names.empty() ? "-" : "|-") + s;
    if (names.empty()) return;
    std::string words;
    for (const std::string& c : choices) words += (words.empty() ? "" : " ") + c;
    const std::string body = choices.empty() ? "_veldmap_files; return" : "_veldmap_words \"" + words + "\"; return";
    const std::string entry = "      " + names + ") " + body + " ;;\n";
    for (const std::string& s : seen) {
      if (s == entry) return;
    }
    seen.push_back(entry);
  };
  for (const CLI::Option* option : Visible(app, false)) addValues(*option);
  for (CLI::App* command : Commands(app)) {
    commands += (commands.empty() ? "" : " ") + command->get_name();
    std::string options = "$options";
    for (const CLI::Option* option : Visible(*command, false)) {
      for (const std::string& l : option->get_lnames()) options += " --" + l;
      for (const std::string& s : option->get_snames()) options += " -" + s;
      addValues(*option);
    }
    cases += "    " + command->get_name() + ") options=\"" + options + "\" ;;\n";
  }
  for (const std::string& entry : seen) valueCases += entry;

  std::string script;
  script += "# bash completion for veldmap, made by `veldmap --completion` from its own options.\n";
  script += "_veldmap_words() { COMPREPLY=($(compgen -W \"$1\" -- \"$cur\")); }\n";
  script +=
      "_veldmap_kind() { compopt -o filenames 2>/dev/null; local IFS=$'\\n'; "
      "COMPREPLY=($(compgen -d -- \"$cur\"; compgen -f -- \"$cur\" | grep -iE \"\\\\.($1)\\$\")); }\n";
  script += "_veldmap_files() { compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\")); }\n";
  script += "_veldmap() {\n";
  script += "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\" command=\"\" word\n";
  script += "  for word in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n";
  script += "    case \" " + commands + " \" in *\" $word \"*) command=\"$word\"; break ;; esac\n";
  script += "  done\n";
  script += "  case \"$prev\" in\n" + valueCases + "  esac\n";
  script += "  local options=\"" + globals.substr(globals.empty() ? 0 : 1) + " --help\"\n";
  script += "  case \"$command\" in\n" + cases + "  esac\n";
  script += "  if [[ -z \"$command\" && \"$cur\" != -* ]]; then _veldmap_words \"" + commands + "\"; return; fi\n";
  script += "  if [[ \"$cur\" == -* ]]; then _veldmap_words \"$options\"; return; fi\n";
  // A command's inputs complete to the files of its kind (and folders to reach them).
  script += "  case \"$command\" in\n";
  script += "    render|bake|split|info|studio) _veldmap_kind '" + std::string(kMeshAndSceneExtensions) + "' ;;\n";
  script += "    export) _veldmap_kind 'vlds' ;;\n";
  script += "    join) _veldmap_kind 'png|exr|tif|tiff' ;;\n";
  script += "    *) _veldmap_files ;;\n";
  script += "  esac\n";
  script += "}\n";
  script += "complete -F _veldmap veldmap\n";
  return script;
}
