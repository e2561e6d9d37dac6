// Publishing to an MQTT broker (Debian's libmosquitto). Topics, under <prefix>/<gateway>/:
//   status                         "online" (retained); the connection's will, and a clean
//                                  stop, make it "offline"
//   <scale>/state                  the reading record (retained, QoS 1): on every change of
//                                  anything but seq and time, and at least every heartbeat
//   <scale>/availability           "online" or "offline" (retained), following the status
//   <scale>/weighings              each registered weighing's record (QoS 1, not retained)
//   <converter>/outputs/<bit>/set  "on" or "off": switches the output when writes are allowed
//   <converter>/outputs/<bit>      {"state":"on","result":R} (retained) once switched
// The broker's absence or restart never holds up the readings or the HTTP side: libmosquitto's
// own thread reconnects with a back-off, and every retained topic is published again then.
#pragma once

#include "config.h"
#include "dio.h"
#include "store.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace gateway {

class MqttPublisher {
  public:
    MqttPublisher(const Config& cfg, Store& store, std::shared_ptr<DioWorkers> dio);
    ~MqttPublisher(); // Stop()
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Starts connecting (in the background) and the heartbeat.
    void Start();
    // Publishes "offline" on the status topic, waits briefly for it to go out, disconnects.
    void Stop();
    // A reading of a scale was published to the store (called on the core's thread; never
    // blocks). Only a reading that says something new goes out; the heartbeat repeats it.
    void OnReading(const Reading& r);

    // A weighing of a scale was registered: its record goes out once (any thread; never
    // blocks). Not queued while the broker is unreachable.
    void OnWeighing(const std::string& scale, const std::string& record);

    uint64_t Published() const { return published_.load(); }
    bool Connected() const { return connected_.load(); }

  private:
    struct ScaleState {
        std::mutex mu;
        int64_t lastPublishMs = 0; // steady clock
        int availability = -1;     // 1 online, 0 offline, -1 not published yet
    };

    void PublishState(size_t scale);
    void PublishAvailability(size_t scale, bool online, bool force);
    bool Publish(const std::string& topic, std::string_view payload, bool retain = true);
    void Heartbeat();
    void HeartbeatStep();
    void OnConnect(int rc);
    void OnMessage(const std::string& topic, const std::string& payload);
    void Switch(size_t converter, int bit, bool on);

    static void ConnectCallback(mosquitto*, void* self, int rc);
    static void DisconnectCallback(mosquitto*, void* self, int rc);
    static void MessageCallback(mosquitto*, void* self, const mosquitto_message* m);
    static void PublishCallback(mosquitto*, void* self, int mid);

    const Config& cfg_;
    const MqttSettings& m_;
    Store& store_;
    std::shared_ptr<DioWorkers> dio_;
    const std::string base_; // <prefix>/<gateway>/
    mosquitto* mosq_ = nullptr;
    std::unique_ptr<ScaleState[]> scales_;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> published_{0};
    std::atomic<int> lastRc_{-1};

    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread heartbeat_;
    // What an output command's callback uses after its exchange: it may come after the
    // publisher has stopped (the gateway stops the converters after MQTT), so it holds this and
    // not the object.
    struct Outbox {
        std::mutex mu;
        mosquitto* mosq = nullptr;   // null once the publisher stops
        std::atomic<int> running{0}; // output commands under way
        // Messages handed to libmosquitto that the broker has not acknowledged yet: they wait
        // in its memory (and are sent again after a reconnection).
        std::atomic<int> unacked{0};
    };
    // A broker that takes messages too slowly (or a link that stalls before it is found dead)
    // must not fill the memory: beyond this many unacknowledged messages the states wait, and
    // the heartbeat publishes each scale's latest once the broker has caught up.
    static constexpr int kMaxUnacked = 1000;
    std::atomic<bool> heldBack_{false};
    // A flood of `set` messages must not fill the converters' queues for HTTP's requests: each
    // converter queues at most 4 requests anyway.
    static constexpr int kMaxRunningCommands = 16;
    std::shared_ptr<Outbox> outbox_ = std::make_shared<Outbox>();
};

} // namespace gateway
