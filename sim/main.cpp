// lim07-sim: serves a virtual line of simulated ЛИМ-07 devices on a pty.
//
//   lim07-sim --demo [--modbus]          the demo line (native by default)
//   lim07-sim --devices FILE.json        devices from a file (see DeviceFile.h)
//   options: --link PATH (repeatable)    an extra symlink to the line
//            --log FILE                  every frame as a JSON line
//            --baud N                    answer at the pace of N baud
//            --answer-delay MS[-MS]      devices answer after this delay (random
//                                        in the range per answer)
//            --collisions                answers of two devices at one address
//                                        collide (arrive garbled)
//
// The first line printed is the slave path; the line is also announced in the
// per-user line folder, where the program's port list finds it. Runs until
// SIGINT, SIGTERM or SIGHUP, then removes its links.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "DeviceFile.h"
#include "VirtualLine.h"

namespace {

const char kUsage[] =
    "usage: lim07-sim (--demo [--modbus] | --devices FILE.json) [--link PATH]...\n"
    "                 [--log FILE] [--baud N] [--answer-delay MS[-MS]] [--collisions]\n"
    "Serves simulated ЛИМ-07 devices on a pseudo-terminal; prints its path first.\n"
    "  --demo           five demo devices (addresses 1-5, plant numbers 1201-1205)\n"
    "  --modbus         the demo devices speak Modbus RTU instead of \"Ларгис-1\"\n"
    "  --devices FILE   devices described in a JSON file\n"
    "  --link PATH      an extra symlink to the line (may be repeated)\n"
    "  --log FILE       log every frame as a line of JSON\n"
    "  --baud N         pace answers as on a line of N baud (11 bits a byte)\n"
    "  --answer-delay MS[-MS]\n"
    "                   devices answer after MS ms (a range: random per answer)\n"
    "  --collisions     answers of devices sharing an address arrive garbled\n";

[[noreturn]] void UsageError(const std::string& message) {
  std::cerr << "lim07-sim: " << message << "\n" << kUsage;
  std::exit(2);
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char e[8];
      std::snprintf(e, sizeof e, "\\u%04x", c);
      out += e;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

struct TOptions {
  bool Demo = false, Modbus = false;
  std::string Devices, Log;
  std::vector<std::string> Links;
  int Baud = 0;
  int DelayMin = 0, DelayMax = 0;
  bool Collisions = false;
};

// "MS" or "MS-MS", each 0..10000.
void ParseDelay(const std::string& v, TOptions& o) {
  const std::size_t dash = v.find('-');
  auto number = [&](const std::string& part) {
    char* end = nullptr;
    const long ms = std::strtol(part.c_str(), &end, 10);
    if (part.empty() || !end || *end || ms < 0 || ms > 10000)
      UsageError("bad answer delay: " + v + " (MS or MS-MS, 0..10000)");
    return static_cast<int>(ms);
  };
  o.DelayMin = number(v.substr(0, dash));
  o.DelayMax = dash == std::string::npos ? o.DelayMin : number(v.substr(dash + 1));
  if (o.DelayMax < o.DelayMin) UsageError("bad answer delay: " + v + " (the range is reversed)");
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) UsageError(a + " needs a value");
      return argv[++i];
    };
    if (a == "--demo") {
      o.Demo = true;
    } else if (a == "--modbus") {
      o.Modbus = true;
    } else if (a == "--devices") {
      o.Devices = value();
    } else if (a == "--link") {
      o.Links.push_back(value());
    } else if (a == "--log") {
      o.Log = value();
    } else if (a == "--baud") {
      const std::string v = value();
      char* end = nullptr;
      const long baud = std::strtol(v.c_str(), &end, 10);
      if (!end || *end || baud < 50 || baud > 4000000) UsageError("bad baud rate: " + v);
      o.Baud = static_cast<int>(baud);
    } else if (a == "--answer-delay") {
      ParseDelay(value(), o);
    } else if (a == "--collisions") {
      o.Collisions = true;
    } else if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else {
      UsageError("unknown option: " + a);
    }
  }
  if (o.Demo == !o.Devices.empty()) UsageError("give either --demo or --devices FILE");
  if (o.Modbus && !o.Demo) UsageError("--modbus applies to --demo only");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions options = ParseOptions(argc, argv);

  std::vector<TSimDevice> devices;
  if (options.Demo) {
    devices = DemoDevices(options.Modbus ? dpModbus : dpLargis1);
  } else {
    try {
      devices = LoadDeviceFile(options.Devices);
    } catch (const EDeviceFile& e) {
      std::cerr << "lim07-sim: " << e.what() << "\n";
      return 1;
    }
  }

  std::ofstream log;
  if (!options.Log.empty()) {
    log.open(options.Log, std::ios::app);
    if (!log) {
      std::cerr << "lim07-sim: cannot write the log " << options.Log << "\n";
      return 1;
    }
  }

  // The device thread inherits this mask; the signals are taken by sigwait.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  try {
    TVirtualLine line;
    for (const TSimDevice& d : devices) line.AddDevice(d);
    line.SetPacing(options.Baud);
    line.SetAnswerDelay(
        options.DelayMin, options.DelayMax,
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    line.SetCollisions(options.Collisions);
    if (log.is_open()) {
      const auto start = std::chrono::steady_clock::now();
      line.SetFrameListener([&log, &line, start](const TSimFrame& f) {
        char head[160];
        std::snprintf(head, sizeof head,
                      "{\"t\":%.6f,\"first_parity\":\"%s\",\"rest_parity\":\"%s\",\"gap_ms\":%.3f,",
                      std::chrono::duration<double>(f.Time - start).count(),
                      SimParityName(f.FirstParity), SimParityName(f.RestParity), f.GapAfterFirstMs);
        log << head << "\"request\":\"" << SimHex(f.Bytes) << "\",\"device\":";
        if (f.DeviceIndex >= 0) {
          log << "{\"index\":" << f.DeviceIndex
              << ",\"plant\":" << line.Device(f.DeviceIndex).PlantNumber << "}";
        } else {
          log << "null";
        }
        log << ",\"answer\":\"" << SimHex(f.Answer) << "\",\"note\":" << JsonText(f.Note) << "}"
            << std::endl;
      });
    }

    std::cout << line.SlavePath() << std::endl;
    std::cout << "announced: " << line.Announce() << "\n";
    for (const std::string& link : options.Links) {
      line.AddLink(link);
      std::cout << "link: " << link << "\n";
    }
    for (const TSimDevice& d : devices) {
      std::cout << "device: address " << static_cast<int>(d.Address) << ", plant " << d.PlantNumber
                << ", " << (d.Protocol == dpModbus ? "Modbus" : "native") << ", " << d.SensorCount()
                << " sensors" << (d.Name.empty() ? "" : ", ") << d.Name << "\n";
    }
    if (options.Baud) std::cout << "pacing: " << options.Baud << " baud\n";
    if (options.DelayMax > 0)
      std::cout << "answer delay: " << options.DelayMin << "-" << options.DelayMax << " ms\n";
    std::cout << "running; stop with Ctrl+C" << std::endl;

    int signal = 0;
    sigwait(&stop, &signal);
    std::cout << "stopped by signal " << signal << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "lim07-sim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
