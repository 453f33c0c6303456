// The host's render thread: it owns the OpenGL context, loads the plugin's graphics side on it,
// issues render events back to back, and runs the host's texture work between two events.
#pragma once

#include "HostTexture.h"
#include "PluginLibrary.h"
#include "SimulatedHostInterfaces.h"
#include "Watchdog.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reliability {

class RenderThread {
  public:
    // Creates the context and calls UnityPluginLoad on the new thread; check ready().
    RenderThread(const PluginEntryPoints& api, SimulatedHostInterfaces& host, WatchedLane& lane);
    ~RenderThread();
    RenderThread(const RenderThread&) = delete;
    RenderThread& operator=(const RenderThread&) = delete;

    // Waits for start-up; false with the reason when no context could be made.
    bool ready(std::string* whyNot);

    // A texture the host created on its render thread; it lives as long as this thread.
    void* createTexture(int width, int height);
    // Level 0 of a texture made by createTexture, after one more render event.
    std::vector<uint8_t> readTexture(void* texture);

    uint64_t renderEvents() const { return renderEvents_.load(); }

    // Sends the Shutdown device event, unloads the plugin's graphics side and ends the thread.
    void stop();

  private:
    void main();
    bool startUp();
    void renderUntilStopped();
    void runPendingTasks();
    void shutDown();
    void runOnThread(std::function<void()> task);
    HostTexture& textureOf(void* handle);

    const PluginEntryPoints& api_;
    SimulatedHostInterfaces& host_;
    WatchedLane& lane_;
    std::vector<std::unique_ptr<HostTexture>> textures_;
    std::atomic<uint64_t> renderEvents_{0};

    std::mutex mutex_;
    std::condition_variable changed_;
    enum class State { Starting, Running, Failed, Stopping, Stopped } state_ = State::Starting;
    std::string whyNot_;
    std::vector<std::function<void()>> tasks_;
    uint64_t tasksDone_ = 0;
    uint64_t tasksPosted_ = 0;
    std::thread thread_;
};

}  // namespace reliability
