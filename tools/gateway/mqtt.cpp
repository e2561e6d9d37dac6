#include "mqtt.h"

#include "log.h"

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <chrono>

namespace gateway {

namespace {

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const char* ConnectRefusal(int rc) {
    switch (rc) {
    case 1:
        return "unacceptable protocol version";
    case 2:
        return "client id refused";
    case 3:
        return "broker unavailable";
    case 4:
        return "bad user name or password";
    case 5:
        return "not authorised (check username and password)";
    default:
        return "refused";
    }
}

std::once_flag g_libInit;

} // namespace

MqttPublisher::MqttPublisher(const Config& cfg, Store& store, std::shared_ptr<DioWorkers> dio)
    : cfg_(cfg), m_(*cfg.mqtt), store_(store), dio_(std::move(dio)),
      base_(m_.topicPrefix + "/" + cfg.gateway.name + "/"),
      scales_(std::make_unique<ScaleState[]>(cfg.scales.size())) {
    std::call_once(g_libInit, [] { mosquitto_lib_init(); });
    mosq_ = mosquitto_new(m_.clientId.c_str(), true, this);
    if (mosq_ == nullptr) throw std::runtime_error("cannot create the MQTT client");
    outbox_->mosq = mosq_;
    mosquitto_connect_callback_set(mosq_, &ConnectCallback);
    mosquitto_disconnect_callback_set(mosq_, &DisconnectCallback);
    mosquitto_message_callback_set(mosq_, &MessageCallback);
    mosquitto_publish_callback_set(mosq_, &PublishCallback);
    mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
    const std::string status = base_ + "status";
    mosquitto_will_set(mosq_, status.c_str(), 7, "offline", 1, true);
    if (m_.username)
        mosquitto_username_pw_set(mosq_, m_.username->c_str(),
                                  m_.password ? m_.password->c_str() : nullptr);
    if (m_.caFile) {
        const int rc =
            mosquitto_tls_set(mosq_, m_.caFile->c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            Log("mqtt: the CA file " + *m_.caFile + " was not taken: " + mosquitto_strerror(rc));
    }
}

MqttPublisher::~MqttPublisher() {
    Stop();
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
}

void MqttPublisher::Start() {
    // A broker that is down now is tried again by libmosquitto's thread, with its back-off.
    const int rc = mosquitto_connect_async(mosq_, m_.host.c_str(), m_.port, 30);
    if (rc != MOSQ_ERR_SUCCESS)
        Log("mqtt: " + m_.Broker() + ": " + mosquitto_strerror(rc) + " (trying again)");
    mosquitto_loop_start(mosq_);
    heartbeat_ = std::thread([this] { Heartbeat(); });
    Log("mqtt: publishing to " + m_.Broker() + " under " + base_ + (m_.caFile ? " (TLS)" : ""));
}

void MqttPublisher::Stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) return;
        stop_ = true;
    }
    cv_.notify_all();
    if (heartbeat_.joinable()) heartbeat_.join();
    {
        std::lock_guard<std::mutex> lock(outbox_->mu);
        outbox_->mosq = nullptr; // output commands still running publish nothing more
    }
    if (connected_) {
        // A clean stop says so itself; the will is for the unclean ones.
        int mid = 0;
        const std::string status = base_ + "status";
        ++outbox_->unacked;
        mosquitto_publish(mosq_, &mid, status.c_str(), 7, "offline", 1, true);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (mosquitto_want_write(mosq_) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false); // its thread ends once the disconnection is sent
        return;
    }
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true); // it may be waiting to try again: not for that
}

bool MqttPublisher::Publish(const std::string& topic, std::string_view payload, bool retain) {
    if (outbox_->unacked.load() >= kMaxUnacked) {
        if (!heldBack_.exchange(true))
            Log("mqtt: the broker acknowledges too slowly (" + std::to_string(kMaxUnacked) +
                " messages waiting): states are held back until it catches up");
        return false;
    }
    if (heldBack_.exchange(false)) Log("mqtt: the broker caught up");
    ++outbox_->unacked;
    const int rc = mosquitto_publish(mosq_, nullptr, topic.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        --outbox_->unacked;
        return false;
    }
    ++published_;
    return true;
}

void MqttPublisher::OnWeighing(const std::string& scale, const std::string& record) {
    if (!Publish(base_ + scale + "/weighings", record, false))
        Log("mqtt: a weighing of " + scale +
            " was not published (the broker is unreachable or "
            "behind): GET /api/weighings?after_id= has it");
}

// The scale's state is the record the store built for its latest reading, sent as it is.
void MqttPublisher::PublishState(size_t i) {
    const ReadingPtr r = store_.Latest(i);
    if (!r) return;
    ScaleState& s = scales_[i];
    std::lock_guard<std::mutex> lock(s.mu);
    if (Publish(base_ + cfg_.scales[i].name + "/state", r->Line())) s.lastPublishMs = SteadyMs();
}

void MqttPublisher::PublishAvailability(size_t i, bool online, bool force) {
    ScaleState& s = scales_[i];
    std::lock_guard<std::mutex> lock(s.mu);
    if (!force && s.availability == (online ? 1 : 0)) return;
    // One held back is published by the heartbeat.
    const bool sent =
        Publish(base_ + cfg_.scales[i].name + "/availability", online ? "online" : "offline");
    s.availability = sent ? (online ? 1 : 0) : -1;
}

void MqttPublisher::OnReading(const Reading& r) {
    if (r.scale >= cfg_.scales.size() || !connected_ || !r.changed) return;
    PublishState(r.scale);
    PublishAvailability(r.scale, r.status != live::Status::Offline, false);
}

void MqttPublisher::Heartbeat() {
    std::unique_lock<std::mutex> lock(mu_);
    const auto step = std::chrono::milliseconds(std::min<uint32_t>(250, m_.heartbeatMs / 2 + 1));
    while (!cv_.wait_for(lock, step, [this] { return stop_; })) {
        if (!connected_) continue;
        try {
            HeartbeatStep();
        } catch (...) {
            // memory exhausted: the next step tries again
        }
    }
}

// Each state not published for a heartbeat is published again, and an availability that
// was held back.
void MqttPublisher::HeartbeatStep() {
    const int64_t now = SteadyMs();
    for (size_t i = 0; i < cfg_.scales.size(); ++i) {
        int64_t last;
        {
            std::lock_guard<std::mutex> l(scales_[i].mu);
            last = scales_[i].lastPublishMs;
        }
        if (now - last >= m_.heartbeatMs) PublishState(i);
        if (const ReadingPtr r = store_.Latest(i))
            PublishAvailability(i, r->status != live::Status::Offline, false);
    }
}

void MqttPublisher::OnConnect(int rc) {
    if (rc != 0) {
        if (lastRc_.exchange(rc) != rc)
            Log("mqtt: " + m_.Broker() + " refused the connection: " + ConnectRefusal(rc));
        return;
    }
    lastRc_ = 0;
    connected_ = true;
    Log("mqtt: connected to " + m_.Broker());
    Publish(base_ + "status", "online");
    // Everything retained is said again: the broker may have restarted without it.
    for (size_t i = 0; i < cfg_.scales.size(); ++i) {
        const ReadingPtr r = store_.Latest(i);
        PublishState(i);
        PublishAvailability(i, r && r->status != live::Status::Offline, true);
    }
    const std::string sub = base_ + "+/outputs/+/set";
    mosquitto_subscribe(mosq_, nullptr, sub.c_str(), 1);
}

void MqttPublisher::OnMessage(const std::string& topic, const std::string& payload) {
    // <prefix>/<gateway>/<converter>/outputs/<bit>/set
    if (topic.rfind(base_, 0) != 0) return;
    const std::string rest = topic.substr(base_.size());
    const size_t a = rest.find("/outputs/");
    if (a == std::string::npos) return;
    const std::string converter = rest.substr(0, a);
    const std::string tail = rest.substr(a + 9);
    if (tail.size() != 5 || tail.substr(1) != "/set" || tail[0] < '0' || tail[0] > '7') {
        Log("mqtt: " + topic + ": ignored (the bit must be 0 to 7)");
        return;
    }
    const int bit = tail[0] - '0';
    size_t index = cfg_.converters.size();
    for (size_t i = 0; i < cfg_.converters.size(); ++i)
        if (cfg_.converters[i].name == converter) index = i;
    if (index == cfg_.converters.size()) {
        Log("mqtt: " + topic + ": ignored (no converter named \"" + converter + "\")");
        return;
    }
    if (payload != "on" && payload != "off") {
        Log("mqtt: " + topic + ": ignored (the payload must be on or off)");
        return;
    }
    if (!m_.allowWrites) {
        Log("mqtt: " + topic + " " + payload +
            ": ignored (output commands over MQTT are off: [mqtt] allow_writes)");
        return;
    }
    Switch(index, bit, payload == "on");
}

void MqttPublisher::Switch(size_t converter, int bit, bool on) {
    // The exchange may take up to 10 s: it runs on the converter's queue, and its outcome is
    // published from there. The callback holds only what outlives the publisher.
    const std::string name = cfg_.converters[converter].name;
    if (outbox_->running.fetch_add(1) >= kMaxRunningCommands) {
        --outbox_->running;
        Log("mqtt: " + name + " output " + std::to_string(bit) + ": ignored (" +
            std::to_string(kMaxRunningCommands) + " output commands are already running)");
        return;
    }
    dio_->Run(converter, "OB" + std::string(on ? "1" : "0") + std::to_string(bit),
              [outbox = outbox_, topic = base_ + name + "/outputs/" + std::to_string(bit), name,
               bit, on](const DioOutcome& o) {
                  nlohmann::json payload{{"state", on ? "on" : "off"},
                                         {"result", o.kind == DioOutcome::Done ? 0 : -1}};
                  if (o.kind != DioOutcome::Done) payload["error"] = OutcomeText(o.kind);
                  const std::string text = payload.dump();
                  std::lock_guard<std::mutex> lock(outbox->mu);
                  --outbox->running;
                  if (outbox->mosq == nullptr) return; // the gateway is stopping
                  Log(name + ": output " + std::to_string(bit) + (on ? " on" : " off") +
                      " (mqtt): " + OutcomeText(o.kind));
                  ++outbox->unacked;
                  if (mosquitto_publish(outbox->mosq, nullptr, topic.c_str(),
                                        static_cast<int>(text.size()), text.data(), 1,
                                        true) != MOSQ_ERR_SUCCESS)
                      --outbox->unacked;
              });
}

// The callbacks run on libmosquitto's thread: nothing may leave them as an exception.
void MqttPublisher::ConnectCallback(mosquitto*, void* self, int rc) {
    try {
        static_cast<MqttPublisher*>(self)->OnConnect(rc);
    } catch (...) {
    }
}

void MqttPublisher::DisconnectCallback(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    try {
        if (p->connected_.exchange(false) && rc != 0)
            Log("mqtt: connection to the broker lost (" + std::string(mosquitto_strerror(rc)) +
                "); reconnecting");
    } catch (...) {
    }
}

void MqttPublisher::PublishCallback(mosquitto*, void* self, int) {
    --static_cast<MqttPublisher*>(self)->outbox_->unacked;
}

void MqttPublisher::MessageCallback(mosquitto*, void* self, const mosquitto_message* m) {
    try {
        const std::string topic = m->topic != nullptr ? m->topic : "";
        const std::string payload(static_cast<const char*>(m->payload),
                                  static_cast<size_t>(std::max(0, m->payloadlen)));
        static_cast<MqttPublisher*>(self)->OnMessage(topic, payload);
    } catch (...) {
    }
}

} // namespace gateway
