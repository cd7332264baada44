#include "MqttSettings.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace {

int Number(const std::string& key, const std::string& value, int low, int high) {
  std::size_t used = 0;
  int n = 0;
  try {
    n = std::stoi(value, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != value.size())
    throw EMqttSettings(key + ": \"" + value + "\" is not a whole number");
  if (n < low || n > high)
    throw EMqttSettings(key + ": " + value + " is outside " + std::to_string(low) + ".." +
                        std::to_string(high));
  return n;
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// %XX escapes of the user and password part of a URL.
std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

void ParseUrl(TMqttSettings& s, const std::string& url) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    s.Tls = false;
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    s.Tls = true;
    rest = url.substr(8);
  } else {
    throw EMqttSettings("url: \"" + url + "\" does not begin with mqtt:// or mqtts://");
  }
  if (const auto slash = rest.find('/'); slash != std::string::npos) {
    if (slash + 1 != rest.size())
      throw EMqttSettings("url: \"" + url + "\" has a path; give the topic prefix as prefix");
    rest.resize(slash);
  }
  if (const auto at = rest.rfind('@'); at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const auto colon = credentials.find(':');
    s.User = Unescape(credentials.substr(0, colon));
    if (colon != std::string::npos) s.Password = Unescape(credentials.substr(colon + 1));
  }
  std::string host = rest, port;
  if (!rest.empty() && rest[0] == '[') {  // [::1]:1883
    const auto close = rest.find(']');
    if (close == std::string::npos) throw EMqttSettings("url: \"" + url + "\": unclosed [");
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') throw EMqttSettings("url: \"" + url + "\": bad port");
      port = rest.substr(close + 2);
    }
  } else if (const auto colon = rest.rfind(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty()) throw EMqttSettings("url: \"" + url + "\" names no host");
  s.Host = host;
  s.Port = port.empty() ? 0 : Number("url port", port, 1, 65535);
  s.Url = url;
}

}  // namespace

const std::vector<std::string>& MqttSettingKeys() {
  static const std::vector<std::string> keys = {
      "url",    "user", "password", "client-id", "prefix",     "qos",       "cafile",
      "capath", "cert", "key",      "keepalive", "queue-days", "retry-max", "connect-timeout"};
  return keys;
}

void SetMqttSetting(TMqttSettings& s, const std::string& key, const std::string& value) {
  if (key == "url") {
    ParseUrl(s, value);
  } else if (key == "user") {
    s.User = value;
  } else if (key == "password") {
    s.Password = value;
  } else if (key == "client-id") {
    if (value.empty() || value.size() > 200) throw EMqttSettings("client-id: 1 to 200 characters");
    s.ClientId = value;
  } else if (key == "prefix") {
    if (value.empty() || value.find_first_of("+#") != std::string::npos || value.front() == '/' ||
        value.back() == '/')
      throw EMqttSettings("prefix: \"" + value +
                          "\" is not a topic prefix (no + or #, no / at either end)");
    s.Prefix = value;
  } else if (key == "qos") {
    s.Qos = Number(key, value, 0, 2);
  } else if (key == "cafile") {
    s.CaFile = value;
  } else if (key == "capath") {
    s.CaPath = value;
  } else if (key == "cert") {
    s.CertFile = value;
  } else if (key == "key") {
    s.KeyFile = value;
  } else if (key == "keepalive") {
    s.KeepAliveS = Number(key, value, 5, 3600);
  } else if (key == "queue-days") {
    s.QueueDays = Number(key, value, 1, 3650);
  } else if (key == "retry-max") {
    s.RetryMaxS = Number(key, value, 1, 3600);
  } else if (key == "connect-timeout") {
    s.ConnectTimeoutS = Number(key, value, 1, 600);
  } else {
    throw EMqttSettings("unknown setting \"" + key + "\"");
  }
}

void ReadMqttSettingsFile(TMqttSettings& s, const std::string& path) {
  std::ifstream in(path);
  if (!in) throw EMqttSettings("cannot read " + path);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    const std::string text = Trim(line);
    if (text.empty() || text[0] == '#') continue;
    const auto eq = text.find('=');
    if (eq == std::string::npos)
      throw EMqttSettings(path + ":" + std::to_string(n) + ": not \"key = value\"");
    try {
      SetMqttSetting(s, Trim(text.substr(0, eq)), Trim(text.substr(eq + 1)));
    } catch (const EMqttSettings& e) {
      throw EMqttSettings(path + ":" + std::to_string(n) + ": " + e.what());
    }
  }
}

void ReadMqttSettingsEnvironment(TMqttSettings& s) {
  if (const char* user = std::getenv("LIM07_MQTT_USER"); user && *user) s.User = user;
  if (const char* password = std::getenv("LIM07_MQTT_PASSWORD"); password) s.Password = password;
}

std::string TopicLevel(const std::string& name) {
  std::string out;
  for (char c : name)
    out += (c == '/' || c == '+' || c == '#' || (static_cast<unsigned char>(c) < 0x20)) ? '_' : c;
  return out.empty() ? "line" : out;
}

void CompleteMqttSettings(TMqttSettings& s, const std::string& lineName) {
  if (s.Host.empty())
    throw EMqttSettings("no broker: give --mqtt URL or url = in the settings file");
  if (s.Port == 0) s.Port = s.Tls ? 8883 : 1883;
  if (!s.Tls && (!s.CaFile.empty() || !s.CertFile.empty() || !s.KeyFile.empty()))
    throw EMqttSettings("TLS files given for a plain mqtt:// broker: use mqtts://");
  if (s.CertFile.empty() != s.KeyFile.empty())
    throw EMqttSettings("a client certificate needs both cert and key");
  if (!s.Password.empty() && s.User.empty()) throw EMqttSettings("a password without a user name");
  const std::string line = TopicLevel(lineName);
  if (s.Prefix.empty()) s.Prefix = "lim07/" + line;
  if (s.ClientId.empty()) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || !*host)
      std::snprintf(host, sizeof host, "host");
    std::string id = "lim07-" + std::string(host) + "-" + line;
    // Client ids of plain ASCII letters, digits and '-' suit every broker.
    for (char& c : id)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '-';
    s.ClientId = id.substr(0, 200);
  }
}
