// The help texts of lim07ctl.
#include <map>

#include "CliArgs.h"

namespace {

const char* const kGeneral = R"(lim07ctl: command-line companion of lim07 for ЛИМ-07 lines.
It runs the same requests and worker threads as the window.

Usage: lim07ctl [options] SUBCOMMAND [arguments] [options]

Subcommands:
  ports                       serial ports present (virtual lines included)
  id                          identification of the named devices
  read                        temperatures and level (Modbus: the data read)
  poll                        polling cycle: a table per cycle, or CSV rows to a file
  settings                    read the settings of the named devices
  write-settings              write calibration points and averaging coefficient
  set-address --plant N --to A    give the device with plant number N address A
  calibrate-empty             empty-bunker calibration of the named devices
  switch-protocol native|modbus   protocol switch of every device on the line
  scan                        find the devices on the line and save a .l07
  batch-read                  read sensor count and unmeasurable level of a configuration
  batch-write                 write calibration and coefficient of a configuration
  write-addresses             give every device of a configuration its address
  upload FILE.bin2            firmware upload (XModem-CRC) to one or all devices
  check                       line check: how well each device answers, and where a
                              silent one does answer (other speed or protocol)
  support-bundle FILE         one tar.gz for the support: versions, port, ports present,
                              configuration, recent frames, statistics
  report --out FILE.pdf       commissioning report: devices, readings, overview, profiles
  history export              readings of a time range from the history database to CSV
  history alarms              the alarms of the history database
  history limits              the line's alarm limits in the history database
  config show FILE.l07        a configuration file as text or JSON
  config new FILE.l07         write a new configuration from options

The line:
  --port PATH                 serial port (/dev/ttyUSB0, ttyUSB0, COM1 = /dev/ttyS0)
  --demo                      an in-process demo line of five simulated devices
  --config FILE.l07           port settings and devices from a configuration
  --baud N  --data-bits 5..8  --parity none|odd|even|mark|space  --stop-bits 1|1.5|2
  --protocol native|modbus    protocol the devices speak (native "Ларгис-1" by default)
The devices:
  --address A                 one device by system address (1..254); may repeat
  --addresses LIST            several: 1,2,5-7
  --plant N                   one device by plant number ("Зав. №")
  Without these, --config names all its devices and --demo the demo devices.
Output and safety:
  --json                      machine-readable output
  --yes, -y                   do not ask before writing to devices (needed off a terminal)
  --trace                     print every frame sent and received on stderr, decoded,
                              with parity, pause, result and response time
  --stats                     per-device exchange statistics on stderr at the end
  --help                      this text; SUBCOMMAND --help for one subcommand
  --version                   the program version

Exit status:
  0    everything done and confirmed by the devices
  1    some device did not answer or did not confirm (poll: in any cycle)
  2    usage error: bad option, address or plant-number list, unreadable
       configuration, firmware file that fails its checks; nothing was written
  3    the serial port could not be used (not found, busy, permission denied),
       or was lost mid-way (the adapter pulled out)
  4    a result file could not be written (scan output, --save, --csv), or
       poll readings were lost to the history database or the MQTT broker
  130  stopped by Ctrl-C before the end (poll: a clean stop gives 0, 1 or 4)

A device is done only when every request sent for it succeeded: tables show
a result column, --json "ok" and "result" per device. --save stores only what
a device confirmed; the file is not rewritten when nothing was.

Ctrl-C stops the work after the device in work; a second Ctrl-C ends at once.

Examples:
  lim07ctl --demo poll --cycles 5
  lim07ctl --port /dev/ttyUSB0 --addresses 1-4 read --json
  lim07ctl --config line.l07 poll --period 5000 --csv log.csv
  lim07ctl --port /dev/ttyUSB0 scan --start 1 --out line.l07
  lim07ctl --port /dev/ttyUSB0 scan --fast --end 20 --out line.l07
  lim07ctl --config line.l07 --protocol modbus upload fw.bin2 --yes
)";

const std::map<std::string, std::string>& CommandHelp() {
  static const std::map<std::string, std::string> help = {
      {"ports",
       "Usage: lim07ctl ports [--json]\n"
       "Lists the serial ports present, the announced virtual lines included.\n"},
      {"id",
       "Usage: lim07ctl (--port P | --demo | --config F) [--address A | --addresses L | --plant N] "
       "id [--json]\n"
       "Reads each named device's identification: plant number, hardware and software versions.\n"
       "Exit 1 when a device does not answer.\n"},
      {"read",
       "Usage: lim07ctl (--port P | --demo | --config F) [devices] read [--json]\n"
       "Reads temperatures and level once (native: level and temperature reads;\n"
       "Modbus: the data read). Devices named by bare addresses are identified first\n"
       "(plant number, sensor count). Exit 1 when a request fails, or when a Modbus\n"
       "answer carries another number of sensors than the record's.\n"},
      {"poll",
       "Usage: lim07ctl (--port P | --demo | --config F) [devices] poll [--cycles N]\n"
       "       [--period MS] [--csv FILE] [--json] [--db FILE | --no-db] [--interval S]\n"
       "       [--quiet] [--mqtt URL] [--mqtt-config FILE] [--mqtt-... VALUE]\n"
       "The window's polling cycle. Prints a table per cycle (--json: one JSON object\n"
       "per line and cycle) and appends CSV rows to FILE: time,name,address,plant,\n"
       "level_code,level_dm,state,t1..tN,result (a header when the file is new; a\n"
       "file begun without the result column keeps its layout).\n"
       "--cycles N stops after N cycles; otherwise Ctrl-C stops after the device in work.\n"
       "--period is at least 200 ms a device (the window's minimum).\n"
       "Exit 0, or 1 when a device's read failed in any cycle (a summary on stderr),\n"
       "4 when readings were lost: cycles not recorded, MQTT messages left unsent in\n"
       "memory (--no-db) or dropped beyond the queue's bound.\n"
       "Every cycle is also recorded into the history database (the window's: \n"
       "$XDG_DATA_HOME/lim07/history.db, or --db FILE; --no-db: none), at most once\n"
       "every --interval seconds (default 60; 0: every cycle), with the alarms of the\n"
       "limits kept there. When the database cannot be written (a full disk) polling\n"
       "goes on and stderr says so; a file that is not a history database is refused.\n"
       "--quiet prints no table per cycle (a service's log stays small).\n"
       "--mqtt mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT] publishes every cycle to an MQTT\n"
       "broker: PREFIX/PLANT/reading (a device's reading), PREFIX/PLANT/meta (its record\n"
       "and firmware, retained), PREFIX/PLANT/alarm (alarms raised and ended) and\n"
       "PREFIX/status (\"online\"; \"offline\" retained as the last will). Readings wait\n"
       "in the history database's queue while the broker is away (sent oldest first\n"
       "when it is back; older than --mqtt-queue-days, default 7, dropped and counted);\n"
       "with --no-db only in memory. Polling never waits for the broker.\n"
       "  --mqtt-user U, --mqtt-password P  (or LIM07_MQTT_USER, LIM07_MQTT_PASSWORD)\n"
       "  --mqtt-client-id ID   default lim07-HOST-LINE\n"
       "  --mqtt-prefix P       default lim07/LINE (LINE: the .l07's name, or the port's)\n"
       "  --mqtt-qos 0|1|2      default 1\n"
       "  --mqtt-cafile F, --mqtt-cert F, --mqtt-key F   TLS (mqtts://)\n"
       "  --mqtt-config FILE    \"key = value\" lines: url, user, password, client-id,\n"
       "                        prefix, qos, cafile, capath, cert, key, keepalive,\n"
       "                        queue-days, retry-max, connect-timeout (options override)\n"},
      {"history export",
       "Usage: lim07ctl history export --from TIME --to TIME [--plant N] --csv FILE [--db FILE]\n"
       "Writes the recorded readings of the range to FILE (atomically): one row a device\n"
       "and reading, device by device in time order: time_utc,time_ms,plant,address,\n"
       "name,protocol,result,level_code,level_dm,state,t1..tN. TIME: 2024-05-17,\n"
       "2024-05-17T10:30[:00] (local time; a trailing Z: UTC) or now.\n"},
      {"history alarms",
       "Usage: lim07ctl history alarms [--active] [--plant N] [--json] [--db FILE]\n"
       "Lists the alarms of the history database, newest first: time, device, sensor,\n"
       "kind, value, limit, whether still active, and when and by whom acknowledged.\n"},
      {"history limits",
       "Usage: lim07ctl history limits [--upper X|off] [--rise X|off] [--json] [--db FILE]\n"
       "Prints, or sets, the line's default alarm limits in the history database (the\n"
       "window's \"Настройка → История…\" sets the same ones): --upper in °C, --rise in\n"
       "°C a day, \"off\" for none. A device's own limits stay. A poll that records into\n"
       "the database meanwhile takes the new limits at its next cycle.\n"},
      {"history",
       "Usage: lim07ctl history export --from TIME --to TIME [--plant N] --csv FILE\n"
       "       lim07ctl history alarms [--active] [--plant N] [--json]\n"
       "       lim07ctl history limits [--upper X|off] [--rise X|off]\n"},
      {"settings",
       "Usage: lim07ctl ... [devices] settings [--json] [--save]\n"
       "Reads sensor count, calibration points and averaging coefficient after\n"
       "checking each device's plant number (Modbus: sensor count and unmeasurable\n"
       "level). --save stores what was read into the --config file.\n"
       "Exit 1 when a device is not found or a read fails.\n"},
      {"write-settings",
       "Usage: lim07ctl ... [devices] write-settings [--c1 N] [--h1 DM] [--c2 N]\n"
       "       [--h2 DM] [--coefficient K] [--level DM] [--save] [--yes]\n"
       "Writes calibration points and averaging coefficient (native protocol) after\n"
       "checking the plant number. Values not given come from --config, or without\n"
       "one are read from the device first. --level is the unmeasurable level (the\n"
       "same as --h1); in Modbus it is the one setting written (holding registers\n"
       "1000-1001). --save stores what the devices confirmed into the --config file.\n"},
      {"set-address",
       "Usage: lim07ctl ... set-address --plant N --to A [--save] [--yes]\n"
       "The device with plant number N takes system address A (native: address\n"
       "write by plant number; Modbus: broadcast by plant number, then identification).\n"},
      {"calibrate-empty",
       "Usage: lim07ctl ... [devices] calibrate-empty [--level DM] [--save] [--yes]\n"
       "Empty-bunker calibration with the unmeasurable level given, from --config,\n"
       "or as the device holds it, after checking the plant number. In Modbus a\n"
       "level given or from --config is written first, then the calibration command.\n"
       "--save stores the level once the device confirmed it.\n"},
      {"switch-protocol",
       "Usage: lim07ctl --port P [--protocol native|modbus] switch-protocol native|modbus [--yes]\n"
       "Broadcasts the protocol switch to every device on the line, framed in the\n"
       "protocol the devices speak now. No device answers it.\n"},
      {"scan",
       "Usage: lim07ctl --port P scan --out FILE.l07 [--start A] [--end E] [--fast] [--force]\n"
       "       lim07ctl --port P scan --plants LIST --out FILE.l07 [--start A] [--end E]\n"
       "                [--reserve] [--fast]\n"
       "Probes every address from A (default 1) to E (default 254), or gives the plant\n"
       "numbers of LIST (e.g. 1201,1203-1210; native protocol only) consecutive\n"
       "addresses from A up to E; --reserve keeps the address of a missing device free.\n"
       "--fast tries each address (plant number) once with time-outs computed from the\n"
       "line's speed, and again with the ordinary time-outs and retries wherever\n"
       "anything at all came back; a slow adapter may need the ordinary scan. The\n"
       "devices found are saved to FILE (atomically; an existing file needs --force).\n"
       "Exit 1 when nothing was found, a listed plant number was not, or a found\n"
       "device's settings (sensor count, unmeasurable level) could not all be read.\n"},
      {"batch-read",
       "Usage: lim07ctl --config F [devices] batch-read [--save] [--json]\n"
       "The window's batch read: each device must answer with its plant number; its\n"
       "sensor count and unmeasurable level are read. Reports per device what was\n"
       "confirmed; exit 1 when something was not.\n"},
      {"batch-write",
       "Usage: lim07ctl --config F [devices] batch-write [--yes] [--json]\n"
       "The window's batch write (native protocol): calibration points and averaging\n"
       "coefficient of each device from the configuration.\n"},
      {"write-addresses",
       "Usage: lim07ctl --config F write-addresses [--yes] [--json]\n"
       "Gives every device of the configuration (found by plant number) the\n"
       "address the configuration holds for it. Refuses duplicate addresses.\n"},
      {"upload",
       "Usage: lim07ctl ... --protocol modbus [devices] upload FILE.bin2 [--yes]\n"
       "Uploads firmware with XModem-CRC: to one device (--address or --plant), or to\n"
       "every device named. Devices named by bare addresses are identified first (the\n"
       "mode switch carries the plant number); if one does not answer, nothing is\n"
       "uploaded. Shows a progress bar on a terminal. Exit 1 when a device did not\n"
       "take the image.\n"},
      {"check",
       "Usage: lim07ctl (--port P | --demo | --config F) [devices] check [--exchanges N] [--json]\n"
       "Runs N identification exchanges (default 20) with each named device and reports\n"
       "the success rate, the response times and the failure kinds. A device that never\n"
       "answers is looked for in the other protocol and at 1200..115200 baud; the report\n"
       "says where it answers (\"отвечает на 19200, Modbus\"). The port is put back as it\n"
       "was; nothing is written to any device. Verdicts: исправен, сбои связи, не отвечает,\n"
       "другой протокол, другая скорость. Exit 0 when every device is исправен, else 1.\n"},
      {"report",
       "Usage: lim07ctl (--port P | --demo | --config F) [devices] report --out FILE.pdf\n"
       "       [--csv FILE] [--json] [--no-poll] [--no-profiles]\n"
       "       [--object TEXT] [--engineer TEXT] [--date TEXT] [--note TEXT]\n"
       "       [--db FILE | --no-db]\n"
       "Writes the commissioning report as an A4 PDF: the head (object, engineer, date\n"
       "(today by default), note, the port settings, the protocol, the program version),\n"
       "the device table with the last result, the last readings (temperatures with two\n"
       "decimals, \"****\" for a broken sensor, empty for no data, the level), the line\n"
       "overview, one temperature profile per device (--no-profiles leaves them out), the\n"
       "missing plant numbers and duplicate addresses, and the history database's active\n"
       "alarms and those of the last 7 days (--db FILE, else the per-user one when it\n"
       "exists; --no-db leaves them out). The readings are taken by one read\n"
       "of the line just before (as read does, with an identification of each device for\n"
       "its versions); --no-poll reports the configuration without touching the line.\n"
       "--csv writes the device table and readings as CSV, --json prints them as JSON.\n"
       "Files appear whole or not at all. Exit 1 when a device did not answer (the report\n"
       "is written all the same), 4 when a file could not be written.\n"},
      {"support-bundle",
       "Usage: lim07ctl [--port P | --demo | --config F] [devices] support-bundle FILE\n"
       "       [--cycles N] [--check [--exchanges N]]\n"
       "Writes one tar.gz for the support: program version and build, OS and Qt versions,\n"
       "the port settings and the serial ports present, the configuration, the frames and\n"
       "per-device statistics of N polling cycles (default 3 when devices are named) and,\n"
       "with --check, a line-check report. README.txt inside says what each file is.\n"
       "Without a line only the versions, ports and settings go in. Exit 3 when the port\n"
       "could not be opened (the bundle is written all the same and says why).\n"},
      {"config show",
       "Usage: lim07ctl config show FILE.l07 [--json]\n"
       "Prints the port settings and every device field of a configuration. Settings\n"
       "the file does not hold show the value the line operations use, marked as\n"
       "such (--json: \"port_defaults\" lists them).\n"},
      {"config",
       "Usage: lim07ctl config show FILE.l07 [--json]\n"
       "       lim07ctl config new FILE.l07 [--port P] [--device "
       "ADDRESS:PLANT[:SENSORS[:NAME]]]...\n"
       "See: lim07ctl config show --help, lim07ctl config new --help\n"},
      {"config new",
       "Usage: lim07ctl config new FILE.l07 [--port P] [--baud N ...]\n"
       "       [--device ADDRESS:PLANT[:SENSORS[:NAME]]]... [--force]\n"
       "Writes a new configuration; an existing file needs --force.\n"},
  };
  return help;
}

}  // namespace

std::string HelpText(const std::string& command) {
  const auto it = CommandHelp().find(command);
  return it == CommandHelp().end() ? kGeneral : it->second;
}
