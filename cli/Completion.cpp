// The bash completion of lim07ctl, written from the option table so that it
// never lists an option the parser does not take, nor misses one.
#include <set>
#include <sstream>

#include "CliArgs.h"

namespace {

std::string Joined(const std::vector<std::string>& words) {
  std::string s;
  for (const std::string& w : words) s += (s.empty() ? "" : " ") + w;
  return s;
}

// Shell-safe name of a subcommand for a variable ("config new" -> config_new).
std::string VariableName(std::string command) {
  for (char& c : command)
    if (c == ' ' || c == '-') c = '_';
  return command;
}

}  // namespace

std::string BashCompletionScript() {
  const TOptionNames common = CommonOptionNames();
  const auto perCommand = CommandOptionNames();
  std::vector<std::string> values = common.Values;
  std::set<std::string> topLevel;
  for (const std::string& command : CommandNames())
    topLevel.insert(command.substr(0, command.find(' ')));
  for (const auto& [command, names] : perCommand)
    values.insert(values.end(), names.Values.begin(), names.Values.end());

  std::ostringstream s;
  s << "# bash completion for lim07ctl (generated from its option table)\n"
       "_lim07ctl() {\n"
       "  local cur prev words cword\n"
       "  _init_completion || return\n"
       "  local valued=\" "
    << Joined(values)
    << " \"\n"
       "  local common=\""
    << Joined(common.Flags) << ' ' << Joined(common.Values) << " --help --version\"\n";
  for (const auto& [command, names] : perCommand)
    s << "  local opts_" << VariableName(command) << "=\"" << Joined(names.Flags)
      << (names.Flags.empty() || names.Values.empty() ? "" : " ") << Joined(names.Values) << "\"\n";
  s << "  local command=\"\" i w\n"
       "  for ((i = 1; i < cword; i++)); do\n"
       "    w=${words[i]}\n"
       "    if [[ $w == -* ]]; then\n"
       "      [[ $w != *=* && $valued == *\" $w \"* ]] && ((i++))\n"
       "    elif [[ -z $command ]]; then\n"
       "      command=$w\n"
       "    elif [[ $command == config || $command == history ]]; then\n"
       "      command=\"$command $w\"\n"
       "    fi\n"
       "  done\n"
       "  case $prev in\n"
       "    --config) _filedir l07; return ;;\n"
       "    --port) COMPREPLY=($(compgen -f -- \"${cur:-/dev/tty}\")); return ;;\n"
       "    --protocol) COMPREPLY=($(compgen -W \"native modbus\" -- \"$cur\")); return ;;\n"
       "    --parity) COMPREPLY=($(compgen -W \"none odd even mark space\" -- \"$cur\")); return "
       ";;\n"
       "    --stop-bits) COMPREPLY=($(compgen -W \"1 1.5 2\" -- \"$cur\")); return ;;\n"
       "    --data-bits) COMPREPLY=($(compgen -W \"5 6 7 8\" -- \"$cur\")); return ;;\n"
       "    --csv|--out|--db) _filedir; return ;;\n"
       "  esac\n"
       "  [[ $valued == *\" $prev \"* ]] && return\n"
       "  case $command in\n"
       "    \"\")\n"
       "      if [[ $cur == -* ]]; then\n"
       "        COMPREPLY=($(compgen -W \"$common\" -- \"$cur\"))\n"
       "      else\n"
       "        COMPREPLY=($(compgen -W \""
    << Joined({topLevel.begin(), topLevel.end()})
    << "\" -- \"$cur\"))\n"
       "      fi\n"
       "      return ;;\n"
       "    config) COMPREPLY=($(compgen -W \"show new\" -- \"$cur\")); return ;;\n"
       "    history) COMPREPLY=($(compgen -W \"export alarms\" -- \"$cur\")); return ;;\n"
       "  esac\n"
       "  local own=opts_${command//[ -]/_}\n"
       "  if [[ $cur == -* ]]; then\n"
       "    COMPREPLY=($(compgen -W \"$common ${!own}\" -- \"$cur\"))\n"
       "  elif [[ $command == switch-protocol ]]; then\n"
       "    COMPREPLY=($(compgen -W \"native modbus\" -- \"$cur\"))\n"
       "  else\n"
       "    _filedir\n"
       "  fi\n"
       "} &&\n"
       "  complete -F _lim07ctl lim07ctl\n";
  return s.str();
}
