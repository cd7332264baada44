#include "MqttConnection.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

constexpr char kCaHint[] =
    " (does the broker's certificate verify? give its CA certificate as cafile)";

std::string ErrnoText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

std::string RefusalText(int code) {
  switch (code) {
    case 1:
      return "the broker does not speak MQTT 3.1.1";
    case 2:
      return "the broker does not accept the client id";
    case 3:
      return "the broker is not available";
    case 4:
      return "bad user name or password";
    case 5:
      return "not authorised (check the user name and password)";
    default:
      return std::string("refused (") + mosquitto_connack_string(code) + ")";
  }
}

std::string LostText(int code) {
  return mosquitto_strerror(code);
}

TMqttConnection::TMqttConnection(const TMqttSettings& settings, const std::string& willTopic,
                                 std::uint64_t id, TSink sink)
    : FSettings(settings), FId(id), FSink(std::move(sink)) {
  InitLibrary();
  FMosq = mosquitto_new(settings.ClientId.c_str(), true, this);
  if (!FMosq) return;
  mosquitto_connect_callback_set(FMosq, &TMqttConnection::OnConnect);
  mosquitto_disconnect_callback_set(FMosq, &TMqttConnection::OnDisconnect);
  mosquitto_publish_callback_set(FMosq, &TMqttConnection::OnPublish);
  mosquitto_log_callback_set(FMosq, &TMqttConnection::OnLog);
  // The owner reconnects with a new instance: the library never does.
  mosquitto_reconnect_delay_set(FMosq, 3600, 3600, false);
  mosquitto_max_inflight_messages_set(FMosq, 0);  // the owner bounds what it hands over
  mosquitto_int_option(FMosq, MOSQ_OPT_TCP_NODELAY, 1);
  static const char kOffline[] = "offline";
  mosquitto_will_set(FMosq, willTopic.c_str(), static_cast<int>(sizeof kOffline - 1), kOffline,
                     settings.Qos, true);
}

TMqttConnection::~TMqttConnection() {
  if (!FMosq) return;
  mosquitto_disconnect(FMosq);
  if (FLoopStarted) mosquitto_loop_stop(FMosq, false);
  mosquitto_destroy(FMosq);
}

bool TMqttConnection::Start(std::string& error) {
  if (!FMosq) {
    error = "cannot create an MQTT client (out of memory, or a bad client id)";
    return false;
  }
  if (!FSettings.User.empty() &&
      mosquitto_username_pw_set(
          FMosq, FSettings.User.c_str(),
          FSettings.Password.empty() ? nullptr : FSettings.Password.c_str()) != MOSQ_ERR_SUCCESS) {
    error = "the user name or password cannot be used";
    return false;
  }
  if (FSettings.Tls) {
    const char* caFile = FSettings.CaFile.empty() ? nullptr : FSettings.CaFile.c_str();
    const char* caPath = FSettings.CaPath.empty() ? nullptr : FSettings.CaPath.c_str();
    if (!caFile && !caPath) {
      mosquitto_int_option(FMosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
      caPath = "/etc/ssl/certs";
    }
    const int rc = mosquitto_tls_set(
        FMosq, caFile, caPath, FSettings.CertFile.empty() ? nullptr : FSettings.CertFile.c_str(),
        FSettings.KeyFile.empty() ? nullptr : FSettings.KeyFile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = std::string("TLS cannot be set up: ") + mosquitto_strerror(rc) +
              " (check cafile, capath, cert and key)";
      return false;
    }
  }
  errno = 0;
  const int rc =
      mosquitto_connect_async(FMosq, FSettings.Host.c_str(), FSettings.Port, FSettings.KeepAliveS);
  if (rc == MOSQ_ERR_EAI) {
    error = "unknown host " + FSettings.Host;
    return false;
  }
  if (rc == MOSQ_ERR_ERRNO) {
    error = ErrnoText(errno);
    return false;
  }
  if (rc == MOSQ_ERR_TLS) {  // the handshake can fail here already
    std::lock_guard lock(FErrorMutex);
    error = FLastError.empty() ? mosquitto_strerror(rc) + std::string(kCaHint) : FLastError;
    return false;
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    error = mosquitto_strerror(rc);
    return false;
  }
  if (mosquitto_loop_start(FMosq) != MOSQ_ERR_SUCCESS) {
    error = "cannot start the MQTT network thread";
    return false;
  }
  FLoopStarted = true;
  return true;
}

bool TMqttConnection::Publish(const std::string& topic, const std::string& payload, int qos,
                              bool retain, int& mid) {
  return FMosq && mosquitto_publish(FMosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                    payload.data(), qos, retain) == MOSQ_ERR_SUCCESS;
}

void TMqttConnection::OnConnect(mosquitto*, void* self, int code) {
  auto* c = static_cast<TMqttConnection*>(self);
  c->FSink({code == 0 ? TMqttEvent::Connected : TMqttEvent::Refused, c->FId, code, 0, {}});
}

void TMqttConnection::OnDisconnect(mosquitto*, void* self, int code) {
  auto* c = static_cast<TMqttConnection*>(self);
  if (code == 0) return;
  std::string text;
  {
    std::lock_guard lock(c->FErrorMutex);
    text = c->FLastError;
  }
  if (text.empty() && code == MOSQ_ERR_TLS) text = mosquitto_strerror(code) + std::string(kCaHint);
  c->FSink({TMqttEvent::Lost, c->FId, code, 0, text});
}

// The library tells why a connection failed (a TLS handshake refused, a
// certificate that does not verify) only in its log, and may then wait
// without a disconnect event: an error logged is taken as the connection
// lost, and kept for the disconnect event when that comes first.
void TMqttConnection::OnLog(mosquitto*, void* self, int level, const char* text) {
  if (level != MOSQ_LOG_ERR || !text) return;
  auto* c = static_cast<TMqttConnection*>(self);
  std::string message = text;
  if (message.find("certificate verify failed") != std::string::npos ||
      message.find("unknown ca") != std::string::npos)
    message += kCaHint;
  {
    std::lock_guard lock(c->FErrorMutex);
    c->FLastError = message;
  }
  c->FSink({TMqttEvent::Lost, c->FId, MOSQ_ERR_TLS, 0, message});
}

void TMqttConnection::OnPublish(mosquitto*, void* self, int mid) {
  auto* c = static_cast<TMqttConnection*>(self);
  c->FSink({TMqttEvent::Delivered, c->FId, 0, mid, {}});
}
