// Where and how a gateway publishes its line: the broker's URL, the
// credentials, the client id, the topic prefix, the QoS, TLS files and the
// bound of the queue kept while the broker is away. Taken from a small
// "key = value" file, the environment and command-line options, in that
// order (a later one overrides). Plain C++, no Qt.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// A setting that cannot be used; the message names it.
class EMqttSettings : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TMqttSettings {
  std::string Url;  // mqtt://[user[:password]@]host[:port] or mqtts://...
  bool Tls = false;
  std::string Host;
  int Port = 0;  // 0: 1883, or 8883 with TLS
  std::string User;
  std::string Password;
  std::string ClientId;  // "": lim07-<host name>-<line>
  std::string Prefix;    // "": lim07/<line>
  int Qos = 1;
  std::string CaFile, CaPath, CertFile, KeyFile;  // TLS; no CA: the system's
  int KeepAliveS = 30;
  int QueueDays = 7;         // queued messages older than this are dropped (counted)
  int RetryMaxS = 60;        // the longest wait between two connection attempts
  int ConnectTimeoutS = 10;  // an attempt without an answer is given up
};

// The keys of the settings file and of SetMqttSetting: url, user, password,
// client-id, prefix, qos, cafile, capath, cert, key, keepalive, queue-days,
// retry-max, connect-timeout.
const std::vector<std::string>& MqttSettingKeys();

// Sets one setting from its text; raises EMqttSettings naming the key.
// "url" also takes the user and password it carries.
void SetMqttSetting(TMqttSettings& settings, const std::string& key, const std::string& value);

// Reads a settings file: "key = value" lines, blank lines and lines starting
// with '#' ignored. Raises EMqttSettings naming the file and line.
void ReadMqttSettingsFile(TMqttSettings& settings, const std::string& path);

// LIM07_MQTT_USER and LIM07_MQTT_PASSWORD, when set.
void ReadMqttSettingsEnvironment(TMqttSettings& settings);

// Checks the settings and fills the defaults that depend on the line (its
// name: the configuration file's name without ".l07", or the port's).
// Raises EMqttSettings.
void CompleteMqttSettings(TMqttSettings& settings, const std::string& lineName);

// A name that is safe as one level of a topic: '/', '+', '#' and control
// characters become '_'; "" becomes "line".
std::string TopicLevel(const std::string& name);
