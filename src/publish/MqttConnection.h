// One connection to an MQTT broker through libmosquitto: one client
// instance, its network thread (the library's own), a last will, and the
// library's callbacks turned into events for the owner. A lost or refused
// connection is not retried here: the owner makes a new one when it chooses
// (its own backoff), so nothing of an old connection is carried over.
// Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "MqttSettings.h"

struct mosquitto;

struct TMqttEvent {
  enum TType { Connected, Refused, Lost, Delivered } Type = Connected;
  std::uint64_t Connection = 0;  // the id the connection was made with
  int Code = 0;                  // Refused: the CONNACK code; Lost: the library's
  int Mid = 0;                   // Delivered: the message id
  std::string Text;              // Lost: the library's error message, when it logged one
};

// The text of a refused connection's CONNACK code, with a hint for the usual
// cause ("not authorised: check the user name and password").
std::string RefusalText(int code);
// The library's text of why a connection ended.
std::string LostText(int code);

class TMqttConnection {
 public:
  using TSink = std::function<void(const TMqttEvent&)>;
  // `sink` is called on the library's thread; it must only hand the event on.
  TMqttConnection(const TMqttSettings& settings, const std::string& willTopic, std::uint64_t id,
                  TSink sink);
  // Disconnects (a clean disconnect: the broker does not send the will) and
  // stops the network thread.
  ~TMqttConnection();
  TMqttConnection(const TMqttConnection&) = delete;
  TMqttConnection& operator=(const TMqttConnection&) = delete;

  // Starts connecting. False, with the reason, when it cannot even begin (an
  // unknown host, a TLS file that cannot be read, a refused connection).
  bool Start(std::string& error);
  // Hands one message to the library; false when it would not take it (no
  // connection). `mid` is the id its Delivered event will carry.
  bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
               int& mid);

 private:
  static void OnConnect(mosquitto*, void* self, int code);
  static void OnDisconnect(mosquitto*, void* self, int code);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnLog(mosquitto*, void* self, int level, const char* text);

  const TMqttSettings& FSettings;
  std::uint64_t FId;
  TSink FSink;
  mosquitto* FMosq = nullptr;
  std::mutex FErrorMutex;  // the library's thread writes, the owner's reads
  std::string FLastError;  // the last error the library logged
  bool FLoopStarted = false;
};
